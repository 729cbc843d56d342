#include "link/ComBridge.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace lc {

ComBridge::ComBridge(Communication& communication) : ComBridge(communication, Timing()) {}

ComBridge::ComBridge(Communication& communication, Timing timing)
    : communication_(communication), timing_(timing) {}

ComBridge::~ComBridge() {
  // The receive thread must be done with this bridge before it goes.
  finish();
}

bool ComBridge::start(const std::string& host, uint16_t port) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (state_ != Stopped) return false;
  // Lifted here, before the worker exists, so that no stop of this run can
  // come before it and be lost.
  listener_.reset();
  client_.reset();
  host_ = host;
  requestedPort_ = port;
  port_ = 0;
  stopRequested_ = false;
  sendStop_.clear();
  state_ = Starting;
  return true;
}

bool ComBridge::stop() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (state_ == Stopped || stopRequested_) return false;
    stopRequested_ = true;
  }
  sendStop_.raise();
  // After the flag: a worker woken by a cancel always sees the request.
  listener_.cancel();
  client_.cancel();
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
  // A stop from here on cancels the listener, whose accept then fails.
  if (stopRequested()) {
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
  errno = 0;
  if (!listener_.listen(host, requested, kBacklog)) {
    log_.error("cannot listen on ", host, ":", requested, ": ",
               errno != 0 ? std::strerror(errno) : "not a dotted-quad IPv4 address");
    finish();
    return Stopped;
  }
  if (!rx_) rx_.reset(new unsigned char[kReceiveBufferSize]);
  communication_.addRawListener(*this);
  registered_ = true;
  std::lock_guard<std::mutex> lock(stateMutex_);
  port_ = listener_.port();
  state_ = Waiting;
  return Waiting;
}

ComBridge::State ComBridge::accept() {
  // A client dropped by addRaw left its cancel on the connection. A stop
  // that came before this reset is seen just below; one after it cancels
  // the listener and the new connection alike.
  client_.reset();
  if (stopRequested()) {
    finish();
    return Stopped;
  }
  CancellableWait::Result result = listener_.accept(client_, CancellableWait::kForever);
  if (result != CancellableWait::Ready || stopRequested()) {
    if (result != CancellableWait::Cancelled) log_.error("accept failed: ", std::strerror(errno));
    finish();
    return Stopped;
  }
  cutter_.reset();  // a frame the last client left unfinished is not this one's
  {
    std::lock_guard<std::mutex> lock(clientMutex_);
    clientActive_ = true;
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_ = Connected;
  return Connected;
}

ComBridge::State ComBridge::receive() {
  size_t received = 0;
  StreamConnection::ReadResult result =
      client_.readSome(rx_.get(), kReceiveBufferSize, CancellableWait::kForever, received);
  if (result == StreamConnection::Data) {
    // Only whole frames go out, each in one write under the transmit lock: a
    // frame of the module's own can then never land inside one of the
    // client's. While the link is down they are dropped; a failed write is
    // the relay's loss, as for any sender.
    cutter_.feed(rx_.get(), received, [this](const FrameView& frame) {
      if (communication_.running()) communication_.sendFramed(frame.bytes, frame.size, &sendStop_);
    });
    return Connected;
  }
  if (result == StreamConnection::Cancelled && stopRequested()) {
    finish();
    return Stopped;
  }
  // Gone, failed, or dropped by addRaw: wait for the next client.
  closeClient();
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_ = Waiting;
  return Waiting;
}

void ComBridge::closeClient() {
  {
    // After this no addRaw sends to the connection, so closing it never
    // waits on one.
    std::lock_guard<std::mutex> lock(clientMutex_);
    clientActive_ = false;
  }
  client_.close();
  cutter_.reset();
}

void ComBridge::finish() {
  // First, so the receive thread never calls into a bridge being torn down.
  if (registered_) {
    communication_.removeRawListener(*this);
    registered_ = false;
  }
  closeClient();
  listener_.close();
  std::lock_guard<std::mutex> lock(stateMutex_);
  port_ = 0;
  stopRequested_ = false;
  state_ = Stopped;
}

void ComBridge::addRaw(const unsigned char* bytes, unsigned int length) {
  std::lock_guard<std::mutex> lock(clientMutex_);
  if (!clientActive_) return;
  // Bounded twice: each wait for the client to take more, and the whole
  // frame. The receive thread also feeds the module's own listeners, and a
  // client that stops reading, or reads slower than the relay sends, must
  // not hold them up.
  const auto began = std::chrono::steady_clock::now();
  const bool sent = client_.sendAll(bytes, length, int(timing_.clientSendMs));
  if (sent &&
      std::chrono::steady_clock::now() - began <= std::chrono::milliseconds(timing_.clientSendMs)) {
    return;
  }
  clientActive_ = false;
  // Ends the worker's read; the worker closes the connection itself.
  client_.cancel();
  log_.info("client dropped: it did not take the relay's frames in time");
}

}  // namespace lc
