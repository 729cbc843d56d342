#include "transport/TimeoutClientSocket.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace lc {

namespace {

int toMs(unsigned int seconds) {
  constexpr unsigned int kMaxSeconds = 2000000;  // keeps the milliseconds in an int
  return static_cast<int>(std::min(seconds, kMaxSeconds) * 1000u);
}

}  // namespace

bool TimeoutClientSocket::connect(const std::string& host, unsigned int port,
                                  unsigned int seconds) {
  return connect(host, port, seconds, wait_.epoch());
}

bool TimeoutClientSocket::connect(const std::string& host, unsigned int port, unsigned int seconds,
                                  uint64_t epoch) {
  sockaddr_in address;
  if (!SimpleSocket::address(host, port, address)) return false;
  // A close nobody waited on must not cancel this attempt; one that came
  // after the caller read epoch still does.
  wait_.reset();
  release();
  if (wait_.cancelledSince(epoch)) return false;
  socket_.resetSocket();
  int fd = socket_.fd();
  if (fd == -1) return false;

  setBlocking(fd, false);
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  bool ok = r == 0;
  if (!ok && (errno == EINPROGRESS || errno == EINTR) &&
      wait_.wait(fd, POLLOUT, toMs(seconds), epoch) == CancellableWait::Ready) {
    int error = 0;
    socklen_t length = sizeof error;
    ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  setBlocking(fd, true);
  if (ok && wait_.cancelledSince(epoch)) ok = false;
  if (!ok) release();
  return ok;
}

bool TimeoutClientSocket::waitDataReady(unsigned int seconds) {
  int fd = socket_.fd();
  if (fd == -1) return false;
  return wait_.wait(fd, POLLIN, toMs(seconds)) == CancellableWait::Ready;
}

CancellableWait::Result TimeoutClientSocket::waitFor(short events, int timeoutMs) {
  int fd = socket_.fd();
  if (fd == -1) return CancellableWait::Failed;
  return wait_.wait(fd, events, timeoutMs);
}

void TimeoutClientSocket::cancel() {
  wait_.cancel();
  // The owner may be releasing the descriptor at this moment (a connect that
  // the wake just ended).
  std::lock_guard<std::mutex> lock(releaseMutex_);
  int fd = socket_.fd();
  if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}

void TimeoutClientSocket::release() {
  std::lock_guard<std::mutex> lock(releaseMutex_);
  socket_.close();
}

void TimeoutClientSocket::releaseAll() {
  release();
  wait_.releasePipe();
}

}  // namespace lc
