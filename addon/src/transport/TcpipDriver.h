#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "transport/ComDriver.h"
#include "transport/TimeoutClientSocket.h"
#include "transport/UdpSocket.h"
#include "util/Log.h"

namespace lc {

// TCP client to a relay: 10-second connect, reads bounded to 3 seconds of
// silence each, woken at once by close() from another thread.
class TcpipDriver : public ComDriver {
 public:
  static constexpr unsigned int kConnectSeconds = 10;
  static constexpr unsigned int kReadSeconds = 3;
  static constexpr unsigned int kFirstReadMaxSeconds = 1;
  // A write fails when the relay takes no byte of it for this long.
  static constexpr unsigned int kWriteSeconds = 3;
  // Once part of a write left, a stop still lets the rest go for this long,
  // so that a relay that only reads slowly keeps its stream whole.
  static constexpr unsigned int kStoppedWriteGraceMs = 25;
  // How often a write that waits for room looks at its caller's stop.
  static constexpr int kStopSliceMs = 5;
  static constexpr uint16_t kDatagramPort = 9960;
  static constexpr unsigned int kMaxDatagram = 65507;

  // Tests shorten the waits; the defaults are the fixed values above.
  struct Timing {
    unsigned int connectSeconds = kConnectSeconds;
    unsigned int readSeconds = kReadSeconds;
    unsigned int firstReadMaxSeconds = kFirstReadMaxSeconds;
    unsigned int writeSeconds = kWriteSeconds;
  };

  TcpipDriver(const std::string& ip, uint16_t port, const std::string& name);
  TcpipDriver(const std::string& ip, uint16_t port, const std::string& name, Timing timing);
  ~TcpipDriver() override;

  bool connect() override;
  bool write(const unsigned char* data, unsigned int length) override;
  WriteResult writeWatching(const unsigned char* data, unsigned int length,
                            const StopFlag* stop) override;
  bool writeUnsafe(const unsigned char* data, unsigned int length) override;
  bool read(unsigned char* buffer, unsigned int length) override;
  bool readMax(unsigned char* buffer, unsigned int maximum, unsigned int& received) override;
  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override;
  bool readSomeWithin(unsigned char* buffer, unsigned int maximum, unsigned int& received,
                      unsigned int waitMs) override;
  unsigned int silenceMs() const override { return timing_.readSeconds * 1000u; }
  void close() override;
  void release() override;
  std::string status() const override;
  std::string json() const override;
  DriverType getType() override { return DriverType::TCPIP; }
  uint64_t cancelEpoch() const override { return socket_.cancelEpoch(); }
  bool connectUnlessClosed(uint64_t epoch) override;

  bool isConnected() const { return connected_; }
  const std::string& ip() const { return ip_; }
  uint16_t port() const { return port_; }
  const std::string& name() const { return name_; }

 private:
  bool receiveAll(unsigned char* buffer, unsigned int length);

  std::atomic<bool> connected_{false};
  std::string ip_;
  uint16_t port_;
  std::string name_;
  TimeoutClientSocket socket_;
  UdpSocket udp_;
  LogRef log_{"tcpip"};
  Timing timing_;
};

}  // namespace lc
