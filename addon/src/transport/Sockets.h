#pragma once

// Thin layers over BSD sockets: a descriptor with its kind, a blocking TCP
// client, a TCP client with a connect time-out and bounded reads that another
// thread can cancel, the wake-up pipe that does the cancelling, and the
// datagram socket.

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace lc {

// Flags of every stream send: where sockets have no SO_NOSIGPIPE option, a
// send to a closed peer must still not raise SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

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

// Two connected local stream sockets. A byte written into the write end wakes
// every wait that watches the read end.
class Pipe {
 public:
  static constexpr unsigned char kWakeByte = 'x';

  Pipe() = default;
  void open();
  bool opened() const { return opened_; }
  // Sends the wake byte; never blocks.
  void wake();
  // Discards every byte waiting in the read end.
  void drain();
  int readFd() const { return read_.fd(); }
  int writeFd() const { return write_.fd(); }

 private:
  bool opened_ = false;
  SimpleSocket read_{SimpleSocket::Stream};
  SimpleSocket write_{SimpleSocket::Stream};
};

// A TCP client whose connect and waits for data are bounded in time and end
// at once when cancel() is called from another thread.
class TimeoutClientSocket {
 public:
  TimeoutClientSocket();

  // False without any attempt when host is not a dotted quad.
  bool connect(const std::string& host, unsigned int port, unsigned int seconds);
  // True when the connection has data to read (or was closed by the peer);
  // false on time-out, error, or a cancel.
  bool waitDataReady(unsigned int seconds);

  // From any thread: fails every wait and I/O at once. The descriptor itself
  // is released by the owner (release(), the next connect or destruction), so
  // that a reader can never reach a descriptor number reused by somebody else.
  void cancel();
  // Owner thread only: shuts down and releases the descriptor.
  void release();

  bool usable() const { return socket_.exists() && !cancelled_.load(); }
  int fd() const { return socket_.fd(); }
  Pipe& pipe() { return pipe_; }

 private:
  SimpleSocket socket_{SimpleSocket::Stream};
  Pipe pipe_;
  std::atomic<bool> cancelled_{false};
  // Taken by cancel() around its shutdown and by release() around the close,
  // so a cancel never shuts down a number that was just closed and reused.
  // A leaf, never held across a wait.
  std::mutex releaseMutex_;
};

// A datagram socket with broadcast allowed, created on first use.
class UdpSocket : public SimpleSocket {
 public:
  static constexpr unsigned int kMaxDatagram = 65507;

  UdpSocket() : SimpleSocket(Datagram) {}
  // One datagram to a dotted-quad address; false when the length is too
  // large, the address does not parse or the system refuses the send.
  bool write(const unsigned char* data, uint32_t length, const std::string& address, uint32_t port);
};

}  // namespace lc
