// Feeds arbitrary relay bytes through the link's receive thread: frames are
// cut, decoded and delivered; nothing may read or write out of bounds, and
// every event stays within its record.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/Communication.h"
#include "link/EventListenerBase.h"
#include "link/RawListenerBase.h"
#include "transport/ComDriver.h"

namespace {

// Serves the input once, then reports the peer gone.
class MemoryDriver : public lc::ComDriver {
 public:
  MemoryDriver(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool connect() override { return true; }
  bool write(const unsigned char*, unsigned int length) override { return length > 0; }
  bool writeUnsafe(const unsigned char*, unsigned int) override { return false; }
  bool read(unsigned char* buffer, unsigned int length) override {
    if (length == 0 || size_ - at_ < length) return false;
    std::memcpy(buffer, data_ + at_, length);
    at_ += length;
    return true;
  }
  bool readMax(unsigned char*, unsigned int, unsigned int& received) override {
    received = 0;
    return false;
  }
  void close() override {}
  std::string status() const override { return "memory"; }
  std::string json() const override { return "{}"; }
  lc::DriverType getType() override { return lc::DriverType::TCPIP; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

class Checker : public lc::EventListenerBase, public lc::RawListenerBase {
 public:
  void addEvent(const lc::Event& e) override {
    if (e.kind == lc::Event::Data && e.length > lc::Event::kMaxData) std::abort();
  }
  void addRaw(const unsigned char* bytes, unsigned int length) override {
    volatile unsigned char sink = 0;
    for (unsigned int i = 0; i < length; ++i) sink = sink ^ bytes[i];
    rawBytes_ += length;
  }
  size_t rawBytes() const { return rawBytes_; }

 private:
  size_t rawBytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryDriver driver(data, size);
  Checker checker;
  lc::Communication link;
  link.setDriver(&driver);
  link.addEventListener(checker);
  link.addRawListener(checker);
  if (!link.start()) std::abort();
  link.join();  // the input runs out, the read fails, the thread ends
  // Raw listeners get whole frames only, never more than was sent.
  if (checker.rawBytes() > size) std::abort();
  if (link.running()) std::abort();
  link.removeEventListener(checker);
  link.removeRawListener(checker);
  return 0;
}
