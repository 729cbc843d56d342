#pragma once

// One wait on a descriptor that another thread can end at once: the socket
// waits of the transport, the accept of a listener and the pauses of long
// sends all go through it, so a stop reaches each of them the same way.

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace lc {

class Pipe;

class CancellableWait {
 public:
  enum Result { Ready, TimedOut, Cancelled, Failed };

  using Clock = std::chrono::steady_clock;

  // A time limit on the steady clock, for operations made of several waits.
  class Deadline {
   public:
    // A negative time-out never passes.
    explicit Deadline(int timeoutMs);
    // What is left, rounded up to whole milliseconds: kForever when there is
    // no limit, 0 once the limit passed.
    int leftMs() const;
    bool passed() const { return leftMs() == 0; }

   private:
    bool forever_;
    std::chrono::steady_clock::time_point end_;
  };

  // A wait with a negative time-out has no time limit (only readiness or a
  // cancel ends it).
  static constexpr int kForever = -1;
  // When the wake pipe cannot be opened (no descriptors left), waits poll in
  // slices this long and look at the cancel flags between them, so a cancel
  // still ends them within one slice.
  static constexpr int kUnwokenSliceMs = 10;

  CancellableWait();
  ~CancellableWait();
  CancellableWait(const CancellableWait&) = delete;
  CancellableWait& operator=(const CancellableWait&) = delete;

  // Number of cancels so far. An operation reads it when it begins and
  // passes it to its waits, so a cancel that lands between a caller's own
  // check and the start of the wait still fails the operation.
  uint64_t epoch() const { return epoch_.load(); }
  // True while a cancel is in force (since the last reset) or when a cancel
  // ran after epoch was read.
  bool cancelledSince(uint64_t epoch) const { return cancelled_.load() || epoch_.load() != epoch; }
  bool cancelled() const { return cancelled_.load(); }

  // Waits until fd reports one of events (POLLIN, POLLOUT; errors and
  // hang-ups count as ready so that the caller's I/O reports them), the
  // time-out passes, or a cancel comes. fd -1 waits for the time-out or a
  // cancel only. The two-argument form takes the epoch at its start.
  Result wait(int fd, short events, int timeoutMs);
  Result wait(int fd, short events, int timeoutMs, uint64_t epoch);
  // The same wait up to a point on the steady clock, to the precision of the
  // kernel's timers: pauses of a few milliseconds would otherwise lose a
  // visible share to rounding, and a deadline fixed once is not stretched by
  // the time spent around each wait.
  Result waitUntil(int fd, short events, Clock::time_point deadline, uint64_t epoch);

  // A pause that a cancel cuts short: false when cancelled, true when the
  // whole time passed.
  bool sleepFor(int ms);
  bool sleepFor(int ms, uint64_t epoch);
  bool sleepUntil(Clock::time_point deadline, uint64_t epoch);

  // From any thread: ends the current waits and fails every later one until
  // reset().
  void cancel();
  // Lifts a cancel for the next operations; an operation whose epoch was
  // read before the cancel still fails.
  void reset();
  // Closes the wake pipe while no wait is in progress, so an idle owner
  // holds no descriptors; the next wait opens it again.
  void releasePipe();

 private:
  // The one wait behind all the others; no deadline waits without a limit.
  Result waitFor(int fd, short events, const Clock::time_point* deadline, uint64_t epoch);
  // Opens the wake pipe on first use, so that objects which never wait hold
  // no descriptors; retried while it fails.
  int wakeFd();

  std::atomic<uint64_t> epoch_{0};
  std::atomic<bool> cancelled_{false};
  // Serialises cancel, reset and the opening of the pipe, so that the pipe
  // holds a byte only while a cancel is in force. A leaf, never held across
  // a wait.
  std::mutex mutex_;
  std::unique_ptr<Pipe> pipe_;
  std::atomic<int> wakeFd_{-1};
};

}  // namespace lc
