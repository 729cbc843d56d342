#include "link/ComBridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace lc {

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd == -1) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  fd = -1;
}

// A non-blocking listening socket on host:port; -1 with errno set on failure.
// SO_REUSEADDR lets a new run bind the port at once, whatever connections of
// the last run still linger.
int listenOn(const std::string& host, uint16_t port, uint16_t& bound) {
  unsigned char octets[4];
  if (host.find('\0') != std::string::npos || !SimpleSocket::pton4(host.c_str(), octets)) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::memcpy(&address.sin_addr.s_addr, octets, 4);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  bound = ntohs(address.sin_port);
  return fd;
}

// The length of the whole frames at the front of bytes.
size_t wholeFrames(const unsigned char* bytes, size_t length) {
  size_t at = 0;
  while (length - at >= Communication::kHeaderSize) {
    size_t frame = Communication::kHeaderSize + size_t(bytes[at + 2] | (bytes[at + 3] << 8));
    if (length - at < frame) break;
    at += frame;
  }
  return at;
}

}  // namespace

ComBridge::ComBridge(Communication& communication) : ComBridge(communication, Timing()) {}

ComBridge::ComBridge(Communication& communication, Timing timing)
    : communication_(communication), timing_(timing) {
  wake_.open();
}

ComBridge::~ComBridge() {
  // The receive thread must be done with this bridge before it goes.
  finish();
}

bool ComBridge::start(const std::string& host, uint16_t port) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (state_ != Stopped) return false;
  host_ = host;
  requestedPort_ = port;
  port_ = 0;
  stopRequested_ = false;
  state_ = Starting;
  return true;
}

bool ComBridge::stop() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (state_ == Stopped || stopRequested_) return false;
    stopRequested_ = true;
  }
  // After the flag: a worker woken by this byte always sees the request.
  wake_.wake();
  return true;
}

uint16_t ComBridge::getPort() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return state_ == Stopped || stopRequested_ ? 0 : port_;
}

ComBridge::State ComBridge::state() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return state_;
}

bool ComBridge::stopRequested() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return stopRequested_;
}

ComBridge::State ComBridge::run() {
  switch (state()) {
    case Starting:
      return bind();
    case Waiting:
      return accept();
    case Connected:
      return receive();
    case Stopped:
      break;
  }
  return Stopped;
}

ComBridge::State ComBridge::bind() {
  // A wake byte of an earlier run's stop must not end this one; a stop of
  // this run set its flag before its byte, so it is seen below either way.
  wake_.drain();
  if (stopRequested()) {
    finish();
    return Stopped;
  }
  if (wake_.readFd() == -1) {
    log_.error("cannot start: no wake-up channel");
    finish();
    return Stopped;
  }
  std::string host;
  uint16_t requested;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    host = host_;
    requested = requestedPort_;
  }
  uint16_t bound = 0;
  listenFd_ = listenOn(host, requested, bound);
  if (listenFd_ == -1) {
    log_.error("cannot listen on ", host, ":", requested, ": ", std::strerror(errno));
    finish();
    return Stopped;
  }
  if (!rx_) rx_.reset(new unsigned char[kReceiveBufferSize]);
  rxPending_ = 0;
  // Between frames: the link calls raw listeners with whole frames under the
  // same lock that registration takes.
  rawHeaderSeen_ = 0;
  rawPayloadLeft_ = 0;
  communication_.addRawListener(*this);
  registered_ = true;
  std::lock_guard<std::mutex> lock(stateMutex_);
  port_ = bound;
  state_ = Waiting;
  return Waiting;
}

ComBridge::Wait ComBridge::waitReadable(int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed;
    if (fds[1].revents != 0) {
      wake_.drain();
      if (stopRequested()) return Woken;
      if (fds[0].revents == 0) continue;  // a stale byte of an earlier stop
    }
    return Readable;
  }
}

ComBridge::State ComBridge::accept() {
  Wait wait = waitReadable(listenFd_);
  if (wait != Readable) {
    finish();
    return Stopped;
  }
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) {
    // The peer gave up before it was taken, or a signal: keep listening.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR ||
        errno == EPROTO) {
      return Waiting;
    }
    log_.error("accept failed: ", std::strerror(errno));
    finish();
    return Stopped;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  rxPending_ = 0;  // a partial frame of the previous client is not this one's
  {
    std::lock_guard<std::mutex> lock(clientMutex_);
    client_ = fd;
    clientSynced_ = false;
    clientDropped_ = false;
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_ = Connected;
  return Connected;
}

ComBridge::State ComBridge::receive() {
  Wait wait = waitReadable(client_);
  if (wait == Woken) {
    finish();
    return Stopped;
  }
  if (wait == Readable) {
    ssize_t n = ::recv(client_, rx_.get() + rxPending_, kReceiveBufferSize - rxPending_, 0);
    if (n > 0) {
      rxPending_ += size_t(n);
      forwardFrames();
      return Connected;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Connected;
  }
  // Gone, failed, or dropped by the receive thread: wait for the next one.
  closeClient();
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_ = Waiting;
  return Waiting;
}

void ComBridge::forwardFrames() {
  size_t whole = wholeFrames(rx_.get(), rxPending_);
  if (whole == 0) return;
  // Only whole frames go out, in one write under the transmit lock: a frame
  // of the module's own can then never land inside one of the client's.
  // While the link is down they are dropped; a failed write is the relay's
  // loss, as for any sender.
  if (communication_.running()) communication_.sendFramed(rx_.get(), unsigned(whole));
  std::memmove(rx_.get(), rx_.get() + whole, rxPending_ - whole);
  rxPending_ -= whole;
}

void ComBridge::closeClient() {
  std::lock_guard<std::mutex> lock(clientMutex_);
  closeFd(client_);
  clientSynced_ = false;
  clientDropped_ = false;
}

void ComBridge::finish() {
  // First, so the receive thread never calls into a bridge being torn down.
  if (registered_) {
    communication_.removeRawListener(*this);
    registered_ = false;
  }
  closeClient();
  closeFd(listenFd_);
  rxPending_ = 0;
  std::lock_guard<std::mutex> lock(stateMutex_);
  port_ = 0;
  stopRequested_ = false;
  state_ = Stopped;
}

void ComBridge::addRaw(const unsigned char* bytes, unsigned int length) {
  const bool frameStart = rawHeaderSeen_ == 0 && rawPayloadLeft_ == 0;
  // Follow the frame boundaries of the relay's stream, so that a client that
  // arrives between the header and the payload of a frame starts with the
  // next whole frame rather than in the middle of one.
  for (unsigned int i = 0; i < length;) {
    if (rawPayloadLeft_ > 0) {
      unsigned int k = std::min(rawPayloadLeft_, length - i);
      rawPayloadLeft_ -= k;
      i += k;
      continue;
    }
    rawHeader_[rawHeaderSeen_++] = bytes[i++];
    if (rawHeaderSeen_ == Communication::kHeaderSize) {
      rawPayloadLeft_ = unsigned(rawHeader_[2] | (rawHeader_[3] << 8));
      rawHeaderSeen_ = 0;
    }
  }

  std::lock_guard<std::mutex> lock(clientMutex_);
  if (client_ == -1 || clientDropped_) return;
  if (!clientSynced_) {
    if (!frameStart) return;
    clientSynced_ = true;
  }
  // Bounded: the receive thread also feeds the module's own listeners, and a
  // client that stops reading must not hold them up.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timing_.clientSendMs);
  size_t sent = 0;
  while (sent < length) {
    ssize_t r = ::send(client_, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      sent += size_t(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        dropClientLocked("client stopped reading; dropped");
        return;
      }
      pollfd p{client_, POLLOUT, 0};
      ::poll(&p, 1, int(left.count()));
      continue;
    }
    dropClientLocked("client connection failed; dropped");
    return;
  }
}

void ComBridge::dropClientLocked(const char* why) {
  clientDropped_ = true;
  // The worker owns the descriptor: shutting it down ends its wait on the
  // client, and it closes the descriptor itself.
  ::shutdown(client_, SHUT_RDWR);
  log_.info(why);
}

}  // namespace lc
