#include "transport/TcpipDriver.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace lc {

TcpipDriver::TcpipDriver(const std::string& ip, uint16_t port, const std::string& name)
    : TcpipDriver(ip, port, name, Timing()) {}

TcpipDriver::TcpipDriver(const std::string& ip, uint16_t port, const std::string& name,
                         Timing timing)
    : ip_(ip), port_(port), name_(name), timing_(timing) {}

TcpipDriver::~TcpipDriver() {
  close();
  udp_.close();
  socket_.release();
}

bool TcpipDriver::connect() {
  if (connected_.load()) close();
  bool ok = socket_.connect(ip_, port_, timing_.connectSeconds);
  connected_.store(ok);
  if (ok) log_.info("Connected to ", ip_, ":", port_, ".");
  return ok;
}

bool TcpipDriver::connectUnlessClosed(uint64_t epoch) {
  // The socket's connect releases an old connection itself; close() here
  // would count as the very cancel this connect must watch for.
  connected_.store(false);
  bool ok = socket_.connect(ip_, port_, timing_.connectSeconds, epoch);
  connected_.store(ok);
  if (ok) log_.info("Connected to ", ip_, ":", port_, ".");
  return ok;
}

bool TcpipDriver::write(const unsigned char* data, unsigned int length) {
  return writeWatching(data, length, nullptr) == WriteResult::Sent;
}

ComDriver::WriteResult TcpipDriver::writeWatching(const unsigned char* data, unsigned int length,
                                                  const StopFlag* stop) {
  using Clock = std::chrono::steady_clock;
  if (!socket_.usable()) return WriteResult::Failed;
  int fd = socket_.fd();
  unsigned int sent = 0;
  const auto bound = std::chrono::seconds(timing_.writeSeconds);
  // Moves with every byte the relay takes: only a write that makes no
  // progress for the whole bound fails.
  Clock::time_point giveUp = Clock::now() + bound;
  bool stopped = false;
  // At least one send per write, so a write of 0 bytes fails like the rest.
  do {
    ssize_t r = ::send(fd, data + sent, length - sent, MSG_DONTWAIT | kSendFlags);
    if (r > 0) {
      sent += static_cast<unsigned int>(r);
      if (!stopped) giveUp = Clock::now() + bound;
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return WriteResult::Failed;
    // The relay's window is full: wait for room, looking at the caller's
    // stop now and then.
    if (!stopped && stop != nullptr && stop->raised()) {
      if (sent == 0) return WriteResult::Stopped;
      stopped = true;
      giveUp = std::min(giveUp, Clock::now() + std::chrono::milliseconds(kStoppedWriteGraceMs));
    }
    const auto now = Clock::now();
    if (now >= giveUp) {
      if (!stopped) {
        log_.error("The relay took nothing for ", timing_.writeSeconds, " s; the link ends.");
      }
      return WriteResult::Failed;
    }
    int waitMs = int(std::chrono::ceil<std::chrono::milliseconds>(giveUp - now).count());
    if (stop != nullptr && !stopped) waitMs = std::min(waitMs, kStopSliceMs);
    const CancellableWait::Result w = socket_.waitFor(POLLOUT, waitMs);
    if (w == CancellableWait::Cancelled || w == CancellableWait::Failed) return WriteResult::Failed;
  } while (sent < length);
  return WriteResult::Sent;
}

bool TcpipDriver::writeUnsafe(const unsigned char* data, unsigned int length) {
  if (length > kMaxDatagram) return false;
  return udp_.write(data, length, ip_, kDatagramPort);
}

bool TcpipDriver::receiveAll(unsigned char* buffer, unsigned int length) {
  unsigned int got = 0;
  // Take what is already waiting without a wait; when nothing is, wait at
  // most readSeconds for more. A peer that stalls in the middle of a frame
  // thus fails the read instead of holding the thread.
  while (got < length) {
    if (!socket_.usable()) return false;
    ssize_t r = ::recv(socket_.fd(), buffer + got, length - got, MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<unsigned int>(r);
      continue;
    }
    if (r == 0) return false;  // the peer closed
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!socket_.waitDataReady(timing_.readSeconds)) return false;
  }
  return true;
}

bool TcpipDriver::read(unsigned char* buffer, unsigned int length) {
  if (length == 0) return false;
  return receiveAll(buffer, length);
}

bool TcpipDriver::readMax(unsigned char* buffer, unsigned int maximum, unsigned int& received) {
  if (!socket_.waitDataReady(timing_.firstReadMaxSeconds)) return false;
  if (!socket_.usable()) return false;
  int waiting = 0;
  if (::ioctl(socket_.fd(), FIONREAD, &waiting) < 0) return false;
  received = std::min(static_cast<unsigned int>(std::max(waiting, 0)), maximum);
  if (received == 0) return false;  // the peer closed, or nothing may be taken
  return receiveAll(buffer, received);
}

bool TcpipDriver::readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) {
  return readSomeWithin(buffer, maximum, received, silenceMs());
}

bool TcpipDriver::readSomeWithin(unsigned char* buffer, unsigned int maximum,
                                 unsigned int& received, unsigned int waitMs) {
  received = 0;
  if (maximum == 0) return false;
  const CancellableWait::Deadline deadline(int(std::min(waitMs, silenceMs())));
  // Try first and wait only when nothing is waiting: a reader that keeps up
  // with a busy relay makes one system call per read.
  for (;;) {
    if (!socket_.usable()) return false;
    ssize_t r = ::recv(socket_.fd(), buffer, maximum, MSG_DONTWAIT);
    if (r > 0) {
      received = static_cast<unsigned int>(r);
      return true;
    }
    if (r == 0) return false;  // the peer closed
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const int left = deadline.leftMs();
    if (left == 0) return false;
    if (socket_.waitFor(POLLIN, left) != CancellableWait::Ready) return false;
  }
}

void TcpipDriver::close() {
  connected_.store(false);
  socket_.cancel();
}

void TcpipDriver::release() {
  socket_.releaseAll();
  udp_.close();
}

std::string TcpipDriver::status() const {
  return "Relay " + name_ + " at " + ip_ + ":" + std::to_string(port_);
}

std::string TcpipDriver::json() const {
  return "{\"type\": \"TCPIP\", \"ip\": \"" + ip_ + "\", \"port\" : " + std::to_string(port_) +
         ", \"name\": \"" + name_ + "\"}";
}

}  // namespace lc
