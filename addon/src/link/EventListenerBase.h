#pragma once

#include "link/Event.h"

namespace lc {

// Receives every decoded event of a link. Called on the receive thread while
// the link's listener-list lock is held: an implementation must not add or
// remove listeners of the same link.
class EventListenerBase {
 public:
  virtual ~EventListenerBase() = default;
  virtual void addEvent(const Event& event) = 0;
  // The link delivers the frames of one read through addBatchedEvent, then
  // calls flushEvents once, before it reads again. A queue may hold back
  // the wake-up of its reader until then; by default both are plain.
  virtual void addBatchedEvent(const Event& event) { addEvent(event); }
  virtual void flushEvents() {}
};

}  // namespace lc
