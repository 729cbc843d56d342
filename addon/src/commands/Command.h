#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "link/Communication.h"
#include "link/EventListener.h"
#include "link/Frame.h"
#include "util/Log.h"

namespace lc {

// What the relay commands share: the ready wait before the frame goes out,
// the command frame itself, the pause after it, and a cancel that ends every
// wait of a call at once (the owner's runtime is going away).
class Command {
 public:
  // Each wait for an event, and the bound on a whole watch.
  static constexpr unsigned int kWaitMs = 5000;
  static constexpr std::chrono::milliseconds kBound{5000};
  // The relay is given this long to act on a command before the call returns.
  static constexpr std::chrono::milliseconds kPause{1000};

  // Unit tests shorten the waits; the defaults are the fixed values.
  struct Timing {
    unsigned int waitMs = kWaitMs;
    std::chrono::milliseconds bound = kBound;
    std::chrono::milliseconds pause = kPause;
  };

  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // From any thread, for good: the call in progress (or the next one) sees
  // its link as closed and its pause ends at once.
  void cancel();
  bool cancelled() const;

 protected:
  enum class Ready { Ready, TimedOut, Failed };

  Command(Communication& communication, const char* logName, Timing timing);

  // Registers a call's listener for cancel, for the call's whole length.
  class Call {
   public:
    Call(Command& command, EventListener& listener);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    Command& command_;
    EventListener& listener_;
  };

  // Waits for a status with a non-zero state word, in slices of waitMs, for
  // at most `bound` of events that do not count. A Closed event is Failed.
  Ready waitReady(EventListener& listener);
  // The ready wait and the send as the application change and the luminosity
  // report them: "A timeout has occured." or "An error has occured." on
  // failure, "Sending the command." before the frame.
  Ready readyThenSend(EventListener& listener, uint8_t code, uint8_t argument);
  // The two-byte command frame; false when the link is down or the write fails.
  bool send(uint8_t code, uint8_t argument);
  // Sleeps `pause`, unless cancelled.
  void pause();
  bool boundPassed(std::chrono::steady_clock::time_point since) const {
    return std::chrono::steady_clock::now() - since >= timing_.bound;
  }

  Communication& communication_;
  LogRef log_;
  Timing timing_;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cancelledCv_;
  bool cancelled_ = false;
  std::vector<EventListener*> calls_;
  StopFlag sendStop_;
};

}  // namespace lc
