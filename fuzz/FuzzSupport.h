#pragma once

// What the harnesses that run a link against an in-memory relay share: a
// silenced log and a driver whose only real parts are the reads and writes
// each harness gives it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "transport/ComDriver.h"
#include "util/Log.h"

namespace lcfuzz {

// Failure paths log a line per run; millions of them only slow the fuzzer.
inline void quietLog() {
  static const bool quiet = [] {
    lc::Log::log().setStream(std::fopen("/dev/null", "w"));
    return true;
  }();
  (void)quiet;
}

// A driver with nothing behind it: it connects at once, and everything but
// readSome and write fails. The link's receive thread only calls readSome.
class MemoryDriverBase : public lc::ComDriver {
 public:
  bool connect() override { return true; }
  bool write(const unsigned char*, unsigned int length) override { return length > 0; }
  bool writeUnsafe(const unsigned char*, unsigned int) override { return false; }
  bool read(unsigned char*, unsigned int) override { return false; }
  bool readMax(unsigned char*, unsigned int, unsigned int& received) override {
    received = 0;
    return false;
  }
  void close() override {}
  std::string status() const override { return "memory"; }
  std::string json() const override { return "{}"; }
  lc::DriverType getType() override { return lc::DriverType::TCPIP; }
};

// Serves the input once, at most `piece` bytes a read, then reports the
// peer gone.
class InputDriver : public MemoryDriverBase {
 public:
  InputDriver(const uint8_t* data, size_t size, size_t piece = std::numeric_limits<size_t>::max())
      : data_(data), size_(size), piece_(piece) {}
  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override {
    return serve(buffer, std::min<size_t>(maximum, piece_), received);
  }

 protected:
  // Hands out up to `most` bytes of what is left; false once it is all out.
  bool serve(unsigned char* buffer, size_t most, unsigned int& received) {
    received = 0;
    const size_t n = std::min(most, size_ - at_);
    if (n == 0) return false;
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    received = unsigned(n);
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;

 private:
  size_t piece_;
};

}  // namespace lcfuzz
