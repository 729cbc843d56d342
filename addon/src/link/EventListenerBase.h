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
};

}  // namespace lc
