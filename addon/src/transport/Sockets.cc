#include "transport/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lc {

namespace {

void setBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

int toMs(unsigned int seconds) {
  constexpr unsigned int kMaxSeconds = 2000000;  // keeps the milliseconds in an int
  return static_cast<int>(std::min(seconds, kMaxSeconds) * 1000u);
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

bool SimpleSocket::address(const std::string& host, unsigned int port, sockaddr_in& out) {
  unsigned char octets[4];
  // The parser stops at the first NUL; the whole text must be the quad.
  if (host.find('\0') != std::string::npos) return false;
  if (!pton4(host.c_str(), octets)) return false;
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&out.sin_addr.s_addr, octets, 4);
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
  if (!SimpleSocket::address(host, port, address)) return false;
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

void SharedDescriptor::adopt(int fd) {
  close();
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = fd;
  exists_.store(fd != -1);
}

void SharedDescriptor::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (fd_ == -1) return;
  int fd = fd_;
  fd_ = -1;
  exists_.store(false);
  // Wakes the operations that hold the number: their waits report the
  // hang-up and their calls fail, so they leave at once.
  ::shutdown(fd, SHUT_RDWR);
  idle_.wait(lock, [&] { return users_ == 0; });
  ::close(fd);
}

SharedDescriptor::Use::Use(SharedDescriptor& owner) : owner_(owner) {
  std::lock_guard<std::mutex> lock(owner_.mutex_);
  fd_ = owner_.fd_;
  if (fd_ != -1) ++owner_.users_;
}

SharedDescriptor::Use::~Use() {
  if (fd_ == -1) return;
  std::lock_guard<std::mutex> lock(owner_.mutex_);
  if (--owner_.users_ == 0) owner_.idle_.notify_all();
}

bool UdpSocket::write(const unsigned char* data, uint32_t length, const std::string& address,
                      uint32_t port) {
  if (length > kMaxDatagram) return false;
  sockaddr_in target;
  if (!SimpleSocket::address(address, port, target)) return false;
  resetSocket();
  int fd = fd_.load();
  if (fd == -1) return false;
  ssize_t r;
  do {
    r = ::sendto(fd, data, length, kSendFlags, reinterpret_cast<sockaddr*>(&target), sizeof target);
  } while (r < 0 && errno == EINTR);
  return r >= 0;
}

bool UdpSocket::bind(uint16_t port, const std::string& host) {
  sockaddr_in local;
  if (!SimpleSocket::address(host, port, local)) return false;
  resetSocket();
  int fd = fd_.load();
  if (fd == -1) return false;
  return ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

uint16_t UdpSocket::localPort() const {
  int fd = fd_.load();
  if (fd == -1) return 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

UdpSocket::ReceiveResult UdpSocket::receive(unsigned char* buffer, size_t capacity, int timeoutMs,
                                            size_t& received, std::string& fromAddress,
                                            uint16_t& fromPort) {
  received = 0;
  const uint64_t epoch = wait_.epoch();
  resetSocket();
  int fd = fd_.load();
  if (fd == -1) return WaitFailed;
  switch (wait_.wait(fd, POLLIN, timeoutMs, epoch)) {
    case CancellableWait::Ready:
      break;
    case CancellableWait::TimedOut:
      return TimedOut;
    case CancellableWait::Cancelled:
      return Cancelled;
    case CancellableWait::Failed:
      return WaitFailed;
  }
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t r;
  do {
    r = ::recvfrom(fd, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return ReceiveFailed;
  received = static_cast<size_t>(r);
  unsigned char octets[4];
  std::memcpy(octets, &from.sin_addr.s_addr, 4);
  fromAddress = ntop4(octets);
  fromPort = ntohs(from.sin_port);
  return Arrived;
}

}  // namespace lc
