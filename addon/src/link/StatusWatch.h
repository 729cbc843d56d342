#pragma once

#include <cstdint>

#include "link/Event.h"

namespace lc {

// What the owner of a link reports of it: the first status frame (the link
// is up), each change of the relay's state word after that, and the end.
// A first status never counts as a change, whatever its state word.
class StatusWatch {
 public:
  enum Report : unsigned char { FirstStatus = 0, Ended = 1, StateChanged = 2, Nothing = 255 };

  // The report an event calls for; Ended for a Closed event.
  Report onEvent(const Event& event);

 private:
  bool seen_ = false;
  uint16_t state_ = 0;
};

}  // namespace lc
