#include "transport/ListenSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace lc {

bool ListenSocket::listen(const std::string& host, uint16_t port, int backlog) {
  sockaddr_in local;
  if (!SimpleSocket::address(host, port, local)) return false;
  socket_.close();
  port_.store(0);
  // Non-blocking, so that an accept after a readiness report whose client
  // has gone meanwhile does not block.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd, backlog) != 0) {
    ::close(fd);
    return false;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    ::close(fd);
    return false;
  }
  socket_.adopt(fd);
  port_.store(ntohs(bound.sin_port));
  return true;
}

CancellableWait::Result ListenSocket::accept(StreamConnection& into, int timeoutMs) {
  const uint64_t epoch = wait_.epoch();
  SharedDescriptor::Use use(socket_);
  if (use.fd() == -1)
    return wait_.cancelledSince(epoch) ? CancellableWait::Cancelled : CancellableWait::Failed;
  const CancellableWait::Deadline deadline(timeoutMs);
  for (;;) {
    CancellableWait::Result r = wait_.wait(use.fd(), POLLIN, deadline.leftMs(), epoch);
    if (r != CancellableWait::Ready) return r;
    int client = ::accept4(use.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
      if (wait_.cancelledSince(epoch)) {
        ::close(client);
        return CancellableWait::Cancelled;
      }
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      into.adopt(client);
      return CancellableWait::Ready;
    }
    // A client that left before it was taken, or a signal: wait for the next.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ||
        errno == EPROTO)
      continue;
    return wait_.cancelledSince(epoch) ? CancellableWait::Cancelled : CancellableWait::Failed;
  }
}

void ListenSocket::close() {
  // The wake reaches an accept on every system; a shutdown of a listening
  // socket does not wake a poll everywhere.
  if (socket_.exists()) wait_.cancel();
  socket_.close();
  port_.store(0);
}

}  // namespace lc
