#include "transport/Pipe.h"

#include <sys/socket.h>

#include <cerrno>

namespace lc {

void Pipe::open() {
  if (opened_) return;
  // A connected pair of local sockets: nothing listens on a port, so no other
  // process can slip in as the read end.
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
    read_.adopt(fds[0]);
    write_.adopt(fds[1]);
    setBlocking(fds[0], false);
    setBlocking(fds[1], false);
    opened_ = true;
  }
}

void Pipe::wake() {
  int fd = write_.fd();
  if (fd == -1) return;
  unsigned char byte = kWakeByte;
  ssize_t r;
  do {
    r = ::send(fd, &byte, 1, kSendFlags);
  } while (r < 0 && errno == EINTR);
}

void Pipe::drain() {
  int fd = read_.fd();
  if (fd == -1) return;
  unsigned char buffer[64];
  for (;;) {
    ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
    if (r > 0) continue;
    if (r < 0 && errno == EINTR) continue;
    break;
  }
}

}  // namespace lc
