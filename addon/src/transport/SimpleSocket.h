#pragma once

// A socket descriptor with its kind, the dotted-quad address helpers every
// socket uses, and a blocking TCP client.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <string>

namespace lc {

// Flags of every stream send: where sockets have no SO_NOSIGPIPE option, a
// send to a closed peer must still not raise SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// Switches O_NONBLOCK on or off; nothing happens when the flags cannot be read.
void setBlocking(int fd, bool blocking);

class SimpleSocket {
 public:
  enum Kind { Stream = 1, Datagram = 2 };

  explicit SimpleSocket(int kind = Stream) : kind_(kind) {}
  ~SimpleSocket() { close(); }
  SimpleSocket(const SimpleSocket&) = delete;
  SimpleSocket& operator=(const SimpleSocket&) = delete;

  // Creates the socket when there is none: TCP with TCP_NODELAY and
  // SO_REUSEADDR, or UDP with SO_BROADCAST.
  void resetSocket();
  // Shuts the socket down both ways and releases the descriptor.
  void close();
  int fd() const { return fd_.load(); }
  bool exists() const { return fd_.load() != -1; }
  // Takes over a descriptor made elsewhere (accept, socketpair).
  void adopt(int fd);

  // Strict dotted quad: four decimal octets, no leading zeros, none above 255.
  static bool pton4(const char* text, unsigned char out[4]);
  static std::string ntop4(const unsigned char address[4]);
  // An IPv4 socket address from a dotted quad; false when the text is not
  // exactly one (also with a NUL inside).
  static bool address(const std::string& host, unsigned int port, sockaddr_in& out);

 protected:
  std::atomic<int> fd_{-1};
  int kind_;
};

// A TCP client with a blocking connect.
class ClientSocket : public SimpleSocket {
 public:
  ClientSocket() : SimpleSocket(Stream) {}
  bool connect(const std::string& host, unsigned int port);
};

}  // namespace lc
