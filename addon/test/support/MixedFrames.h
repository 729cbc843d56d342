#pragma once

#include <vector>

#include "link/Event.h"

namespace lc::test {

// Every kind of frame a relay may send, empty ones included: 10 events.
std::vector<std::vector<unsigned char>> mixedFrames();
// Checks the events the link made of mixedFrames().
void checkMixedEvents(const std::vector<Event>& events);

}  // namespace lc::test
