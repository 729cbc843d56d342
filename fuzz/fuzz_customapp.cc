// Runs the custom application channel against a relay whose stream is
// arbitrary bytes, with messages of any length queued by the script side.
// Each concast stays within its record, every frame sent is one of the
// channel's with a payload within its queue's size, and the run ends when
// the stream does.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "commands/CustomApp.h"
#include "link/Communication.h"
#include "link/Frame.h"
#include "transport/ComDriver.h"
#include "util/Log.h"

namespace {

// Serves the input, then reports the peer gone; checks what is written.
class CheckingDriver : public lc::ComDriver {
 public:
  CheckingDriver(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool connect() override { return true; }
  bool write(const unsigned char* frame, unsigned int length) override {
    if (length < lc::Frame::kHeaderSize) std::abort();
    const lc::FrameHeader h = lc::decodeHeader(frame);
    if (h.length != length - lc::Frame::kHeaderSize) std::abort();
    switch (h.type) {
      case lc::CustomApp::kStartFrame:
        if (h.length != 0) std::abort();
        break;
      case lc::CustomApp::kBroadcastFrame:
        if (h.length > lc::CustomApp::kBroadcastSize) std::abort();
        break;
      case lc::CustomApp::kDataFrame:
        if (h.length > lc::CustomApp::kDataSize) std::abort();
        break;
      default:
        std::abort();
    }
    return true;
  }
  bool writeUnsafe(const unsigned char*, unsigned int) override { return false; }
  bool read(unsigned char*, unsigned int) override { return false; }
  bool readMax(unsigned char*, unsigned int, unsigned int& received) override {
    received = 0;
    return false;
  }
  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override {
    received = 0;
    if (at_ == size_ || maximum == 0) return false;
    const size_t n = std::min<size_t>({size_ - at_, maximum, 1500});
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    received = unsigned(n);
    return true;
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

}  // namespace

// Input: a message count; each message a u16 length and its bytes (even
// ones go as broadcasts, odd ones as data); then the relay's stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    lc::Log::log().setStream(std::fopen("/dev/null", "w"));
    return true;
  }();
  (void)quiet;
  if (size < 1) return 0;
  const unsigned messages = data[0] % 8;
  data += 1;
  size -= 1;
  std::vector<std::vector<unsigned char>> queued;
  for (unsigned i = 0; i < messages && size >= 2; ++i) {
    size_t length = size_t(data[0]) | size_t(data[1]) << 8;
    data += 2;
    size -= 2;
    length = std::min(length, size);
    queued.emplace_back(data, data + length);
    data += length;
    size -= length;
  }

  CheckingDriver driver(data, size);
  lc::Communication link;
  link.setDriver(&driver);
  lc::CustomApp::Timing timing;
  timing.waitMs = 200;
  lc::CustomApp app(link, timing);
  if (!app.start()) std::abort();
  for (size_t i = 0; i < queued.size(); ++i) {
    const auto& m = queued[i];
    if (i % 2 == 0) {
      app.sendBroadcast(m.data(), unsigned(m.size()));
    } else {
      app.sendData(m.data(), unsigned(m.size()));
    }
  }
  if (!link.start()) std::abort();
  while (app.run()) {
    if (app.isConcastReady() && app.getConcast().length > lc::CustomApp::kConcastSize) {
      std::abort();
    }
  }
  if (app.active()) std::abort();
  link.join();
  return 0;
}
