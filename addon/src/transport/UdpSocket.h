#pragma once

// The datagram socket of discovery and of the driver's broadcasts.

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/CancellableWait.h"
#include "transport/SimpleSocket.h"

namespace lc {

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
