#include "transport/StreamConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace lc {

void StreamConnection::adopt(int fd) { socket_.adopt(fd); }

StreamConnection::ReadResult StreamConnection::readSome(unsigned char* buffer, size_t capacity,
                                                        int timeoutMs, size_t& received) {
  received = 0;
  const uint64_t epoch = wait_.epoch();
  SharedDescriptor::Use use(socket_);
  if (use.fd() == -1 || capacity == 0) return Failed;
  const CancellableWait::Deadline deadline(timeoutMs);
  for (;;) {
    switch (wait_.wait(use.fd(), POLLIN, deadline.leftMs(), epoch)) {
      case CancellableWait::Ready:
        break;
      case CancellableWait::TimedOut:
        return TimedOut;
      case CancellableWait::Cancelled:
        return Cancelled;
      case CancellableWait::Failed:
        return Failed;
    }
    ssize_t r = ::recv(use.fd(), buffer, capacity, MSG_DONTWAIT);
    if (r > 0) {
      received = static_cast<size_t>(r);
      return Data;
    }
    if (r == 0) return PeerClosed;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Failed;
    // Readiness that vanished: wait again within the same limit.
  }
}

bool StreamConnection::sendAll(const unsigned char* data, size_t length, int timeoutMs) {
  const uint64_t epoch = wait_.epoch();
  SharedDescriptor::Use use(socket_);
  if (use.fd() == -1) return false;
  if (length > 0 && data == nullptr) return false;
  size_t sent = 0;
  while (sent < length) {
    if (wait_.cancelledSince(epoch)) return false;
    ssize_t r = ::send(use.fd(), data + sent, length - sent, MSG_DONTWAIT | kSendFlags);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    // The peer's window is full: give it timeoutMs to take more.
    if (wait_.wait(use.fd(), POLLOUT, timeoutMs, epoch) != CancellableWait::Ready) return false;
  }
  return !wait_.cancelledSince(epoch);
}

}  // namespace lc
