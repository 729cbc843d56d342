#include "commands/Luminosity.h"

#include <algorithm>

namespace lc {

Luminosity::Luminosity(Communication& communication, Timing timing)
    : Command(communication, "luminosity", timing) {}

bool Luminosity::changeTo(unsigned int level) {
  EventListener listener(communication_);
  Call call(*this, listener);

  switch (waitReady(listener)) {
    case Ready::Ready:
      break;
    case Ready::TimedOut:
      log_.info("A timeout has occured.");
      return false;
    case Ready::Failed:
      log_.info("An error has occured.");
      return false;
  }

  log_.info("Sending the command.");
  if (!send(kLuminosityCode, uint8_t(std::min(level, kMaxLevel)))) {
    log_.info("An error has occured.");
    return false;
  }
  pause();
  return true;
}

}  // namespace lc
