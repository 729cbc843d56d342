#include "commands/Changer.h"

namespace lc {

Changer::Changer(Communication& communication, Timing timing)
    : Command(communication, "changer", timing) {}

Changer::Result Changer::changeTo(unsigned int application) {
  if (application > kMaxApplication) {
    log_.info("Application ", application, " is out of range (0 to ", kMaxApplication,
              "): nothing was sent.");
    return Error;
  }
  EventListener listener(communication_);
  Call call(*this, listener);

  switch (readyThenSend(listener, kChangeCode, uint8_t(application))) {
    case Ready::Ready:
      break;
    case Ready::TimedOut:
      return TimedOut;
    case Ready::Failed:
      return Error;
  }

  // Whatever ends the watch, the frame went out: the outcome is Done.
  const uint32_t before = communication_.lastState();
  const auto start = std::chrono::steady_clock::now();
  Event event;
  while (listener.waitEvent(event, timing_.waitMs) == EventListener::Taken) {
    if (event.kind == Event::Closed) break;
    if (event.kind == Event::Status && event.state != before) break;
    if (boundPassed(start)) break;
  }
  log_.info("Changing done.");
  pause();
  return Done;
}

}  // namespace lc
