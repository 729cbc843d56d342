#include "transport/CancellableWait.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <thread>

#include "transport/Pipe.h"

namespace lc {

CancellableWait::Deadline::Deadline(int timeoutMs)
    : forever_(timeoutMs < 0),
      end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(forever_ ? 0 : timeoutMs)) {
}

int CancellableWait::Deadline::leftMs() const {
  if (forever_) return kForever;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

CancellableWait::CancellableWait() = default;
CancellableWait::~CancellableWait() = default;

int CancellableWait::wakeFd() {
  int fd = wakeFd_.load();
  if (fd != -1) return fd;
  std::lock_guard<std::mutex> lock(mutex_);
  if (wakeFd_.load() != -1) return wakeFd_.load();
  if (!pipe_) pipe_ = std::make_unique<Pipe>();
  pipe_->open();
  if (!pipe_->opened()) return -1;
  // The pipe holds a byte exactly while a cancel is in force.
  if (cancelled_.load()) pipe_->wake();
  wakeFd_.store(pipe_->readFd());
  return pipe_->readFd();
}

CancellableWait::Result CancellableWait::wait(int fd, short events, int timeoutMs) {
  return wait(fd, events, timeoutMs, epoch());
}

CancellableWait::Result CancellableWait::wait(int fd, short events, int timeoutMs, uint64_t epoch) {
  if (timeoutMs < 0) return waitFor(fd, events, nullptr, epoch);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  return waitFor(fd, events, &deadline, epoch);
}

CancellableWait::Result CancellableWait::waitUntil(int fd, short events, Clock::time_point deadline,
                                                   uint64_t epoch) {
  return waitFor(fd, events, &deadline, epoch);
}

CancellableWait::Result CancellableWait::waitFor(int fd, short events,
                                                 const Clock::time_point* deadline,
                                                 uint64_t epoch) {
  const int wake = wakeFd();
  pollfd fds[2];
  nfds_t count = 0;
  if (wake != -1) fds[count++] = {wake, POLLIN, 0};
  const nfds_t self = count;
  if (fd != -1) fds[count++] = {fd, events, 0};
  constexpr Clock::duration kUnwokenSlice = std::chrono::milliseconds(kUnwokenSliceMs);

  for (;;) {
    if (cancelledSince(epoch)) return Cancelled;
    // What is left, in nanoseconds: ppoll sleeps on the same monotonic
    // clock, so the wait ends at the deadline and not up to a millisecond
    // after it. Without a deadline, and without the pipe, it waits in slices.
    bool limited = deadline != nullptr;
    Clock::duration left = limited ? *deadline - Clock::now() : Clock::duration::zero();
    // A passed deadline still looks once at the descriptor.
    const bool last = limited && left <= Clock::duration::zero();
    if (last) left = Clock::duration::zero();
    if (wake == -1 && !last && (!limited || left > kUnwokenSlice)) {
      left = kUnwokenSlice;
      limited = true;
    }
    timespec timeout{};
    if (limited) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
    int n = ::ppoll(count > 0 ? fds : nullptr, count, limited ? &timeout : nullptr, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed;
    }
    if (n > 0) {
      if (wake != -1 && (fds[0].revents & POLLNVAL)) return Failed;
      if (fd != -1) {
        const short r = fds[self].revents;
        if (r & POLLNVAL) return Failed;
        // A cancel wins over readiness that came with it: the caller asked
        // for the operation to end.
        if (r & (events | POLLERR | POLLHUP)) return cancelledSince(epoch) ? Cancelled : Ready;
      }
      // Only the wake pipe: the check at the top reports the cancel. When a
      // reset emptied the pipe meanwhile, the wait goes on.
    }
    if (last) return cancelledSince(epoch) ? Cancelled : TimedOut;
  }
}

bool CancellableWait::sleepFor(int ms) { return sleepFor(ms, epoch()); }

bool CancellableWait::sleepFor(int ms, uint64_t epoch) {
  return sleepUntil(Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms), epoch);
}

bool CancellableWait::sleepUntil(Clock::time_point deadline, uint64_t epoch) {
  const Result r = waitUntil(-1, 0, deadline, epoch);
  if (r != Failed) return r == TimedOut;
  // ppoll itself failed: still pause, in slices that watch the flags, so a
  // pacing pause never shrinks to nothing.
  constexpr Clock::duration kUnwokenSlice = std::chrono::milliseconds(kUnwokenSliceMs);
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    if (cancelledSince(epoch)) return false;
    std::this_thread::sleep_until(std::min(deadline, now + kUnwokenSlice));
  }
  return !cancelledSince(epoch);
}

void CancellableWait::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  epoch_.fetch_add(1);
  if (!cancelled_.exchange(true) && pipe_ && pipe_->opened()) pipe_->wake();
}

void CancellableWait::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Emptied before the flag drops, so a waiter that sees the pipe readable
  // also sees the cancel.
  if (pipe_ && pipe_->opened()) pipe_->drain();
  cancelled_.store(false);
}

void CancellableWait::releasePipe() {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeFd_.store(-1);
  pipe_.reset();
}

}  // namespace lc
