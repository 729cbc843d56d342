// Feeds arbitrary relay bytes through the link's receive thread: frames are
// cut, decoded and delivered; nothing may read or write out of bounds, and
// every event stays within its record. The same bytes also go straight
// through a frame cutter in pieces split where the input says, which must
// yield the frames of a cut in one piece.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "link/Communication.h"
#include "link/EventListenerBase.h"
#include "link/Frame.h"
#include "link/RawListenerBase.h"

namespace {

// Serves the input once, then reports the peer gone. readSome hands out
// pieces of the sizes the split table gives, so the link's cutter meets
// fuzzer-chosen splits too.
class MemoryDriver : public lcfuzz::InputDriver {
 public:
  MemoryDriver(const uint8_t* data, size_t size, const uint8_t* splits, size_t splitCount)
      : InputDriver(data, size), splits_(splits), splitCount_(splitCount) {}
  bool read(unsigned char* buffer, unsigned int length) override {
    if (length == 0 || size_ - at_ < length) return false;
    std::memcpy(buffer, data_ + at_, length);
    at_ += length;
    return true;
  }
  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override {
    const size_t n = splitCount_ ? size_t(splits_[next_++ % splitCount_]) * 97 + 1 : size_ - at_;
    return serve(buffer, std::min<size_t>(n, maximum), received);
  }

 private:
  const uint8_t* splits_;
  size_t splitCount_;
  size_t next_ = 0;
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
    ++rawCalls_;
  }
  size_t rawBytes() const { return rawBytes_; }
  size_t rawCalls() const { return rawCalls_; }

 private:
  size_t rawBytes_ = 0;
  size_t rawCalls_ = 0;
};

using Frames = std::vector<std::vector<unsigned char>>;

Frames cut(const uint8_t* data, size_t size, const uint8_t* splits, size_t splitCount) {
  static lc::FrameCutter cutter;  // one buffer for the whole run
  cutter.reset();
  Frames out;
  size_t at = 0;
  for (size_t i = 0; at < size; ++i) {
    size_t n = splitCount ? size_t(splits[i % splitCount]) * 97 + 1 : size - at;
    if (n > size - at) n = size - at;
    cutter.feed(data + at, n, [&](const lc::FrameView& f) {
      if (f.size != lc::Frame::kHeaderSize + lc::decodeHeader(f.bytes).length) std::abort();
      if (f.type != lc::decodeHeader(f.bytes).type) std::abort();
      out.emplace_back(f.bytes, f.bytes + f.size);
    });
    at += n;
  }
  // Whatever did not make a whole frame is held, and is the unread tail.
  size_t whole = 0;
  for (const auto& f : out) whole += f.size();
  if (whole + cutter.pending() != size) std::abort();
  return out;
}

}  // namespace

// Input: one byte giving the length of a split table, the table (each entry a
// piece size), then the relay's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t splitCount = std::min<size_t>(data[0] % 32, size - 1);
  const uint8_t* splits = data + 1;
  data += 1 + splitCount;
  size -= 1 + splitCount;

  const Frames whole = cut(data, size, nullptr, 0);
  if (cut(data, size, splits, splitCount) != whole) std::abort();

  MemoryDriver driver(data, size, splits, splitCount);
  Checker checker;
  lc::Communication link;
  link.setDriver(&driver);
  link.addEventListener(checker);
  link.addRawListener(checker);
  if (!link.start()) std::abort();
  link.join();  // the input runs out, the read fails, the thread ends
  // Raw listeners get the whole frames the cutter found, nothing more.
  size_t wholeBytes = 0;
  for (const auto& f : whole) wholeBytes += f.size();
  if (checker.rawBytes() != wholeBytes) std::abort();
  if (checker.rawCalls() != whole.size()) std::abort();
  if (link.running()) std::abort();
  link.removeEventListener(checker);
  link.removeRawListener(checker);
  return 0;
}
