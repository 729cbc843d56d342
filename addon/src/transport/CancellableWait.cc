#include "transport/CancellableWait.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include "transport/Sockets.h"

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
  const Deadline deadline(timeoutMs);
  const int wake = wakeFd();
  pollfd fds[2];
  nfds_t count = 0;
  if (wake != -1) fds[count++] = {wake, POLLIN, 0};
  const nfds_t self = count;
  if (fd != -1) fds[count++] = {fd, events, 0};

  for (;;) {
    if (cancelledSince(epoch)) return Cancelled;
    int slice = deadline.leftMs();
    // A zero time-out still looks once at the descriptor.
    const bool last = slice == 0;
    if (wake == -1 && !last && (slice < 0 || slice > kUnwokenSliceMs)) slice = kUnwokenSliceMs;
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
    int n = ::poll(count > 0 ? fds : nullptr, count, slice);
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
  const Deadline deadline(ms < 0 ? 0 : ms);
  const Result r = wait(-1, 0, deadline.leftMs(), epoch);
  if (r != Failed) return r == TimedOut;
  // poll itself failed: still pause, in slices that watch the flags, so a
  // pacing pause never shrinks to nothing.
  while (!deadline.passed()) {
    if (cancelledSince(epoch)) return false;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min(deadline.leftMs(), kUnwokenSliceMs)));
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

}  // namespace lc
