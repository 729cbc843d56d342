#include "commands/Command.h"

#include <algorithm>

namespace lc {

Command::Command(Communication& communication, const char* logName, Timing timing)
    : communication_(communication), log_(logName), timing_(timing) {}

void Command::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  sendStop_.raise();
  for (EventListener* listener : calls_) listener->closeEvent();
  cancelledCv_.notify_all();
}

bool Command::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

Command::Call::Call(Command& command, EventListener& listener)
    : command_(command), listener_(listener) {
  std::lock_guard<std::mutex> lock(command.mutex_);
  command.calls_.push_back(&listener);
  // A cancel that came before the call started still ends it.
  if (command.cancelled_) listener.closeEvent();
}

Command::Call::~Call() {
  std::lock_guard<std::mutex> lock(command_.mutex_);
  auto& calls = command_.calls_;
  calls.erase(std::find(calls.begin(), calls.end(), &listener_));
}

Command::Ready Command::readyThenSend(EventListener& listener, uint8_t code, uint8_t argument) {
  switch (waitReady(listener)) {
    case Ready::Ready:
      break;
    case Ready::TimedOut:
      log_.info("A timeout has occured.");
      return Ready::TimedOut;
    case Ready::Failed:
      log_.info("An error has occured.");
      return Ready::Failed;
  }
  log_.info("Sending the command.");
  if (send(code, argument)) return Ready::Ready;
  log_.info("An error has occured.");
  return Ready::Failed;
}

Command::Ready Command::waitReady(EventListener& listener) {
  const auto start = std::chrono::steady_clock::now();
  Event event;
  for (;;) {
    const EventListener::WaitResult result = listener.waitEvent(event, timing_.waitMs);
    if (result == EventListener::TimedOut) return Ready::TimedOut;
    if (result != EventListener::Taken) return Ready::Failed;
    if (event.kind == Event::Status && event.state != 0) return Ready::Ready;
    if (event.kind == Event::Closed) return Ready::Failed;
    if (boundPassed(start)) return Ready::TimedOut;
  }
}

bool Command::send(uint8_t code, uint8_t argument) {
  const unsigned char payload[2] = {code, argument};
  return communication_.sendFrame(Frame::Command, payload, sizeof payload, &sendStop_);
}

void Command::pause() {
  std::unique_lock<std::mutex> lock(mutex_);
  cancelledCv_.wait_for(lock, timing_.pause, [&] { return cancelled_; });
}

}  // namespace lc
