#include "transport/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace lc {

namespace {

void setBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

bool makeAddress(const std::string& host, unsigned int port, sockaddr_in& address) {
  unsigned char octets[4];
  // The parser stops at the first NUL; the whole text must be the quad.
  if (host.find('\0') != std::string::npos) return false;
  if (!SimpleSocket::pton4(host.c_str(), octets)) return false;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&address.sin_addr.s_addr, octets, 4);
  return true;
}

// poll() that survives signals: the remaining time is recomputed on the
// steady clock, so a wall-clock jump neither stretches nor cuts the wait.
int pollFor(pollfd* fds, nfds_t count, unsigned int seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    int n = ::poll(fds, count, timeout);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

void SimpleSocket::resetSocket() {
  if (fd_.load() != -1) return;
  int one = 1;
  int fd;
  if (kind_ == Stream) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  } else {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  }
  fd_.store(fd);
}

void SimpleSocket::close() {
  int fd = fd_.exchange(-1);
  if (fd == -1) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

void SimpleSocket::adopt(int fd) {
  close();
  fd_.store(fd);
}

bool SimpleSocket::pton4(const char* text, unsigned char out[4]) {
  if (text == nullptr) return false;
  unsigned int octet = 0;
  int index = 0;   // octet being read
  int digits = 0;  // digits of the current octet
  bool leadingZero = false;
  unsigned char parsed[4] = {0, 0, 0, 0};
  for (const char* p = text; *p != '\0'; ++p) {
    char c = *p;
    if (c >= '0' && c <= '9') {
      if (leadingZero) return false;
      octet = octet * 10 + static_cast<unsigned int>(c - '0');
      if (octet > 255) return false;
      if (digits == 0 && c == '0') leadingZero = true;
      ++digits;
    } else if (c == '.') {
      if (digits == 0 || index == 3) return false;
      parsed[index++] = static_cast<unsigned char>(octet);
      octet = 0;
      digits = 0;
      leadingZero = false;
    } else {
      return false;
    }
  }
  if (index != 3 || digits == 0) return false;
  parsed[3] = static_cast<unsigned char>(octet);
  std::memcpy(out, parsed, 4);
  return true;
}

std::string SimpleSocket::ntop4(const unsigned char address[4]) {
  std::string out;
  for (int i = 0; i < 4; ++i) {
    if (i) out.push_back('.');
    out.append(std::to_string(address[i]));
  }
  return out;
}

bool ClientSocket::connect(const std::string& host, unsigned int port) {
  sockaddr_in address;
  if (!makeAddress(host, port, address)) return false;
  resetSocket();
  int fd = fd_.load();
  if (fd == -1) return false;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    close();
    return false;
  }
  return true;
}

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
  }
  opened_ = true;
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

TimeoutClientSocket::TimeoutClientSocket() { pipe_.open(); }

bool TimeoutClientSocket::connect(const std::string& host, unsigned int port,
                                  unsigned int seconds) {
  sockaddr_in address;
  if (!makeAddress(host, port, address)) return false;
  // A wake byte left by a close nobody waited on must not cancel this attempt.
  pipe_.drain();
  release();
  cancelled_.store(false);
  socket_.resetSocket();
  int fd = socket_.fd();
  if (fd == -1) return false;

  setBlocking(fd, false);
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (r == 0) {
    setBlocking(fd, true);
    return true;
  }
  bool ok = false;
  if (errno == EINPROGRESS || errno == EINTR) {
    setBlocking(fd, true);
    pollfd fds[2] = {{pipe_.readFd(), POLLIN, 0}, {fd, POLLOUT, 0}};
    nfds_t count = pipe_.readFd() == -1 ? 1 : 2;
    pollfd* first = pipe_.readFd() == -1 ? &fds[1] : &fds[0];
    int n = pollFor(first, count, seconds);
    if (n > 0) {
      if (pipe_.readFd() != -1 && (fds[0].revents & POLLIN)) {
        pipe_.drain();  // a close from another thread cancelled the connect
      } else if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) ok = true;
      }
    }
  } else {
    setBlocking(fd, true);
  }
  if (ok && cancelled_.load()) ok = false;
  if (!ok) release();
  return ok;
}

bool TimeoutClientSocket::waitDataReady(unsigned int seconds) {
  int fd = socket_.fd();
  int pipeFd = pipe_.readFd();
  if (cancelled_.load()) return false;
  pollfd fds[2];
  nfds_t count = 0;
  if (pipeFd != -1) fds[count++] = {pipeFd, POLLIN, 0};
  if (fd != -1) fds[count++] = {fd, POLLIN, 0};
  if (count == 0) return false;
  int n = pollFor(fds, count, seconds);
  if (n <= 0) return false;
  if (pipeFd != -1 && (fds[0].revents & POLLIN)) {
    pipe_.drain();
    return false;
  }
  if (cancelled_.load()) return false;
  return fd != -1;
}

void TimeoutClientSocket::cancel() {
  cancelled_.store(true);
  pipe_.wake();
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

bool UdpSocket::write(const unsigned char* data, uint32_t length, const std::string& address,
                      uint32_t port) {
  if (length > kMaxDatagram) return false;
  sockaddr_in target;
  if (!makeAddress(address, port, target)) return false;
  resetSocket();
  int fd = fd_.load();
  if (fd == -1) return false;
  ssize_t r;
  do {
    r = ::sendto(fd, data, length, kSendFlags, reinterpret_cast<sockaddr*>(&target), sizeof target);
  } while (r < 0 && errno == EINTR);
  return r >= 0;
}

}  // namespace lc
