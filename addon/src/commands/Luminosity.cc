#include "commands/Luminosity.h"

#include <algorithm>

namespace lc {

Luminosity::Luminosity(Communication& communication, Timing timing)
    : Command(communication, "luminosity", timing) {}

bool Luminosity::changeTo(unsigned int level) {
  EventListener listener(communication_);
  Call call(*this, listener);

  if (readyThenSend(listener, kLuminosityCode, uint8_t(std::min(level, kMaxLevel))) !=
      Ready::Ready) {
    return false;
  }
  pause();
  return true;
}

}  // namespace lc
