#pragma once

// Thin layers over BSD sockets: a descriptor with its kind, a blocking TCP
// client, a TCP client with a connect time-out and bounded reads that another
// thread can cancel, the wake-up pipe that does the cancelling, a descriptor
// shared by threads that may close it, and the datagram socket.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "transport/CancellableWait.h"

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

// Two connected local stream sockets. A byte written into the write end wakes
// every wait that watches the read end.
class Pipe {
 public:
  static constexpr unsigned char kWakeByte = 'x';

  Pipe() = default;
  // Opened only when the pair could be made; otherwise nobody can be woken
  // through it, and open() may be tried again.
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
  TimeoutClientSocket() = default;

  // False without any attempt when host is not a dotted quad. A cancel that
  // nobody waited for before this call does not fail it.
  bool connect(const std::string& host, unsigned int port, unsigned int seconds);
  // The same, but fails (at once, or as soon as it comes) on any cancel that
  // ran after epoch was read from cancelEpoch().
  bool connect(const std::string& host, unsigned int port, unsigned int seconds, uint64_t epoch);
  // True when the connection has data to read (or was closed by the peer);
  // false on time-out, error, no connection, or a cancel.
  bool waitDataReady(unsigned int seconds);
  // The same waits in milliseconds, for reading (POLLIN) or for room to
  // write (POLLOUT); Failed also when there is no connection.
  CancellableWait::Result waitFor(short events, int timeoutMs);

  // From any thread: fails every wait and I/O at once, until the next
  // connect. The descriptor itself is released by the owner (release(), the
  // next connect or destruction), so that a reader can never reach a
  // descriptor number reused by somebody else.
  void cancel();
  uint64_t cancelEpoch() const { return wait_.epoch(); }
  // Owner thread only: shuts down and releases the descriptor.
  void release();
  // release, and the wake-up pipe too, once nobody waits on the socket; the
  // next wait opens the pipe again.
  void releaseAll();

  bool usable() const { return socket_.exists() && !wait_.cancelled(); }
  int fd() const { return socket_.fd(); }

 private:
  SimpleSocket socket_{SimpleSocket::Stream};
  CancellableWait wait_;
  // Taken by cancel() around its shutdown and by release() around the close,
  // so a cancel never shuts down a number that was just closed and reused.
  // A leaf, never held across a wait.
  std::mutex releaseMutex_;
};

// A descriptor that several threads use while any of them may close it. The
// number is released only after every operation that took it has left, so
// nobody reaches a number the system already gave to somebody else; closing
// shuts the socket down first, which ends their waits and blocked calls.
class SharedDescriptor {
 public:
  SharedDescriptor() = default;
  ~SharedDescriptor() { close(); }
  SharedDescriptor(const SharedDescriptor&) = delete;
  SharedDescriptor& operator=(const SharedDescriptor&) = delete;

  // Takes over fd; a descriptor held before is closed first.
  void adopt(int fd);
  // Shuts down, waits for the operations in progress to leave, closes.
  void close();
  bool exists() const { return exists_.load(); }

  // Holds the descriptor for one operation; fd() is -1 when there is none.
  class Use {
   public:
    explicit Use(SharedDescriptor& owner);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    int fd() const { return fd_; }

   private:
    SharedDescriptor& owner_;
    int fd_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  int fd_ = -1;
  int users_ = 0;
  std::atomic<bool> exists_{false};
};

// A datagram socket with broadcast allowed, created on first use.
class UdpSocket : public SimpleSocket {
 public:
  static constexpr unsigned int kMaxDatagram = 65507;

  enum ReceiveResult { Arrived, TimedOut, Cancelled, WaitFailed, ReceiveFailed };

  UdpSocket() : SimpleSocket(Datagram) {}
  // One datagram to a dotted-quad address; false, and nothing sent, when the
  // length is too large, the address is not four dotted octets or the system
  // refuses the send.
  bool write(const unsigned char* data, uint32_t length, const std::string& address, uint32_t port);

  // Binds to host (a dotted quad) and port; port 0 takes a free one, which
  // localPort() then reports. False when the socket is bound already or the
  // system refuses.
  bool bind(uint16_t port, const std::string& host = "0.0.0.0");
  // The local port, once bound or after the first send; 0 before.
  uint16_t localPort() const;

  // One datagram, waiting at most timeoutMs (CancellableWait::kForever: no
  // limit). Arrived: received holds its length (a longer datagram is cut to
  // capacity) and from the sender. WaitFailed: the wait itself failed;
  // ReceiveFailed: the wait said ready but the receive failed.
  ReceiveResult receive(unsigned char* buffer, size_t capacity, int timeoutMs, size_t& received,
                        std::string& fromAddress, uint16_t& fromPort);

  // From any thread: ends a receive at once and fails the later ones until
  // reset().
  void cancel() { wait_.cancel(); }
  void reset() { wait_.reset(); }
  CancellableWait& waiter() { return wait_; }

 private:
  CancellableWait wait_;
};

}  // namespace lc
