#include "commands/Reset.h"

namespace lc {

Reset::Reset(Communication& communication, Timing timing)
    : Command(communication, "reset", timing) {}

uint8_t Reset::code(ResetType type) {
  switch (type) {
    case Standard:
      return kStandardCode;
    case Alternate:
      return kAlternateCode;
    default:
      return kFallbackCode;
  }
}

bool Reset::fail() const {
  log_.info("An error has occured.");
  return false;
}

bool Reset::reset(ResetType type, unsigned char argument) {
  EventListener listener(communication_);
  Call call(*this, listener);

  log_.info("Waiting for the relay to start.");
  if (waitReady(listener) != Ready::Ready) return fail();

  log_.info("Sending the reset command.");
  if (!send(code(type), argument)) return fail();

  // What was queued before the frame went out says nothing about the reset.
  listener.clearEvents();
  // A cancel's Closed event may have gone with them.
  if (cancelled()) return fail();
  // So may the link's own, when the relay closed it as soon as the frame
  // arrived: a link that no longer runs has reset.
  if (!communication_.running()) return true;
  log_.info("Waiting for the relay to reset.");
  const auto start = std::chrono::steady_clock::now();
  Event event;
  while (listener.waitEvent(event, timing_.waitMs) == EventListener::Taken) {
    // A cancel closes the listener too, but it is no sign of a reset.
    if (event.kind == Event::Closed) return cancelled() ? fail() : true;
    if (event.kind == Event::Status && event.state == 0) return true;
    if (boundPassed(start)) break;
  }
  return fail();
}

}  // namespace lc
