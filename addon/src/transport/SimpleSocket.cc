#include "transport/SimpleSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lc {

void setBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

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

}  // namespace lc
