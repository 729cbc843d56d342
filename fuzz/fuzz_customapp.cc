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

#include "FuzzSupport.h"
#include "commands/CustomApp.h"
#include "link/Communication.h"
#include "link/Frame.h"

namespace {

// Serves the input, then reports the peer gone; checks what is written.
class CheckingDriver : public lcfuzz::InputDriver {
 public:
  CheckingDriver(const uint8_t* data, size_t size) : InputDriver(data, size, 1500) {}
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
};

}  // namespace

// Input: a message count; each message a u16 length and its bytes (even
// ones go as broadcasts, odd ones as data); then the relay's stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lcfuzz::quietLog();
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
  lc::ConcastQueue::Batch batch;
  const auto check = [&] {
    app.concasts().take(batch);
    size_t bytes = 0;
    batch.forEach([&](const unsigned char*, uint32_t length) {
      if (length > lc::CustomApp::kConcastSize) std::abort();
      bytes += length;
    });
    if (bytes != batch.payloadBytes()) std::abort();
  };
  while (app.run()) check();
  check();
  if (app.active()) std::abort();
  link.join();
  return 0;
}
