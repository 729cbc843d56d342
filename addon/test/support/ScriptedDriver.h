#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport/ComDriver.h"

namespace lc::test {

// Frame bytes as the relay would send them.
std::vector<unsigned char> frame(uint16_t type, const std::vector<unsigned char>& payload);
std::vector<unsigned char> statusPayload(uint16_t state, uint16_t pace, uint32_t version,
                                         uint16_t packetSize, uint16_t aux1, uint32_t aux2,
                                         uint16_t flags);

// An in-process driver: the test feeds the bytes the relay "sends" and reads
// back what the link wrote. read() blocks until enough bytes were fed, the
// peer "closed", close() was called, or readTimeout passed without bytes.
// readSome() hands out at most the rest of one fed piece, so a test decides
// how the stream is split between reads.
class ScriptedDriver : public ComDriver {
 public:
  explicit ScriptedDriver(std::chrono::milliseconds readTimeout = std::chrono::milliseconds(3000))
      : readTimeout_(readTimeout) {}

  void feed(const std::vector<unsigned char>& bytes);
  // The relay closes its side: reads fail once the fed bytes are consumed.
  void peerClose();
  void setConnectResult(bool ok) { connectResult_ = ok; }
  void setWriteResult(bool ok);

  std::vector<unsigned char> written() const;
  int writeCalls() const;
  int connectCalls() const;
  int closeCalls() const;
  // Waits until every fed byte was consumed by read().
  bool waitDrained(std::chrono::milliseconds limit);

  bool connect() override;
  bool write(const unsigned char* data, unsigned int length) override;
  bool writeUnsafe(const unsigned char*, unsigned int) override { return false; }
  bool read(unsigned char* buffer, unsigned int length) override;
  bool readMax(unsigned char* buffer, unsigned int maximum, unsigned int& received) override;
  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override;
  void close() override;
  std::string status() const override { return "scripted"; }
  std::string json() const override { return "{}"; }
  DriverType getType() override { return DriverType::TCPIP; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<unsigned char> incoming_;
  // Sizes of the fed pieces not yet wholly read, in order.
  std::deque<size_t> pieces_;
  std::vector<unsigned char> written_;
  std::chrono::milliseconds readTimeout_;
  bool connectResult_ = true;
  bool writeResult_ = true;
  bool peerClosed_ = false;
  bool closed_ = false;
  int writeCalls_ = 0;
  int connectCalls_ = 0;
  int closeCalls_ = 0;

  unsigned char takeLocked();
};

}  // namespace lc::test
