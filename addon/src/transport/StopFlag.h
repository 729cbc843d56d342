#pragma once

#include <atomic>

namespace lc {

// Raised by an operation's stop, so that a send of that operation which
// waits on a relay that has stopped reading gives up at once instead of
// holding its thread until the write bound passes. Sends that need no wait
// go out as usual.
class StopFlag {
 public:
  void raise() { raised_.store(true); }
  void clear() { raised_.store(false); }
  bool raised() const { return raised_.load(); }

 private:
  std::atomic<bool> raised_{false};
};

}  // namespace lc
