#include "transport/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace lc {

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
