#include "link/StatusWatch.h"

namespace lc {

StatusWatch::Report StatusWatch::onEvent(const Event& event) {
  if (event.kind == Event::Closed) return Ended;
  if (event.kind != Event::Status) return Nothing;
  uint16_t previous = state_;
  state_ = event.state;
  if (!seen_) {
    seen_ = true;
    return FirstStatus;
  }
  return previous != event.state ? StateChanged : Nothing;
}

}  // namespace lc
