#pragma once

// A TCP listener on 127.0.0.1 with a port chosen by the system, for tests
// that need a peer on the other side of a real socket.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace lc::test {

class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 8, uint32_t address = INADDR_LOOPBACK) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, backlog);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackListener() {
    if (fd_ != -1) ::close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  int fd() const { return fd_; }

  // True when a connection waits in the accept queue within timeoutMs.
  bool pending(int timeoutMs) const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
  }

  // The next connection, or -1 when none comes within timeoutMs.
  int accept(int timeoutMs = 2000) const {
    if (!pending(timeoutMs)) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

  void close() {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A plain blocking client connection, used to fill accept queues.
inline int connectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// A listener whose accept queue is full: the next connect to it stays
// pending until its time-out.
struct FullAcceptQueue {
  FullAcceptQueue() : listener(0) {
    for (int i = 0; i < 8; ++i) fillers[i] = connectLoopback(listener.port());
    // Lets the handshakes that fit in the queue complete first.
    pollfd none{-1, 0, 0};
    ::poll(&none, 1, 100);
  }
  ~FullAcceptQueue() {
    for (int fd : fillers) ::close(fd);
  }
  FullAcceptQueue(const FullAcceptQueue&) = delete;
  FullAcceptQueue& operator=(const FullAcceptQueue&) = delete;
  uint16_t port() const { return listener.port(); }

  LoopbackListener listener;
  int fillers[8];
};

}  // namespace lc::test
