// Uploads a package the input shapes to a relay whose replies the input
// scripts: status frames with any state word, close frames, data and unknown
// frames, cut anywhere and handed over in pieces of any size, each going out
// once a chosen number of packets was written, and a relay that ends the
// link or falls silent. Writes may fail at a chosen packet.
//
// The relay here holds the uploader back after each write until the link has
// taken in every reply that write let out, so what the uploader saw at each
// packet is known, and the outcome of an upload is predicted exactly: what
// the relay received must be the stream, packet by packet, in whole block
// frames; a failure never comes back as success. Only a watch that ran past
// its bound may report no change where a change or the end was due: runs
// mostly use a bound short enough for a quiet relay to cost little, and
// some a long one, where the relay always ends the link after its last
// reply and so nothing but a missed event can leave the watch waiting.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "firmware/LcApp.h"
#include "firmware/LoaderStream.h"
#include "firmware/Uploader.h"
#include "link/Communication.h"
#include "link/Event.h"
#include "link/Frame.h"
#include "topology/ModuleType.h"
#include "util/ProgressPacer.h"

namespace {

using Clock = std::chrono::steady_clock;
using lc::LoaderStream;
using lc::Uploader;

constexpr std::chrono::microseconds kShortBound{1000};
constexpr std::chrono::microseconds kLongBound{20000};
constexpr size_t kNever = std::numeric_limits<size_t>::max();
constexpr size_t kMaxReplies = 64;

// A byte reader that yields zeros once the input runs out.
struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

// ---- The package ----

void hexRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* bytes, size_t n) {
  char field[16];
  std::snprintf(field, sizeof field, ":%02X%04X%02X", unsigned(n), unsigned(address),
                unsigned(type));
  out += field;
  uint8_t sum = uint8_t(n + (address >> 8) + address + type);
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(field, sizeof field, "%02X", unsigned(bytes[i]));
    out += field;
    sum = uint8_t(sum + bytes[i]);
  }
  std::snprintf(field, sizeof field, "%02X\"", unsigned(uint8_t(-sum)));
  out += field;
}

// The memory a loader kind sends images from; blocks chosen a little before
// and past it must be left out of the stream.
void regionOf(LoaderStream::Type kind, uint32_t& base, uint32_t& kb) {
  switch (kind) {
    case LoaderStream::Kernel:
      base = LoaderStream::kKernelBase,
      kb = LoaderStream::kKernelKbPerUnit * LoaderStream::kKernelUnits;
      break;
    case LoaderStream::Fallback:
      base = LoaderStream::kFallbackBase,
      kb = LoaderStream::kFallbackKbPerUnit * LoaderStream::kFallbackUnits;
      break;
    default:
      base = LoaderStream::kRamBase, kb = LoaderStream::kRamKbPerUnit * LoaderStream::kRamUnits;
  }
}

// Input: an image count; each image a module type and a block count; each
// block a kilobyte index (u16) and a byte giving its length and content.
lc::LcApp package(Input& in, LoaderStream::Type kind) {
  uint32_t base, regionKb;
  regionOf(kind, base, regionKb);
  std::string json = "[";
  const unsigned images = 1 + in.next() % 3;
  uint8_t bytes[16];
  for (unsigned i = 0; i < images; ++i) {
    const lc::ModuleType type = lc::ModuleType(in.next() % lc::kModuleTypeCount);
    json += i ? ",{\"name\":\"" : "{\"name\":\"";
    json += lc::tagFromType(type);
    json += "\",\"hex\":[";
    const unsigned blocks = 1 + in.next() % 4;
    for (unsigned b = 0; b < blocks; ++b) {
      const uint32_t index = (in.next() | uint32_t(in.next()) << 8) % (regionKb + 8);
      const uint32_t address = base - 4 * lc::Hex::kBlockSize + index * lc::Hex::kBlockSize;
      const uint8_t shape = in.next();
      const uint8_t high[2] = {uint8_t(address >> 24), uint8_t(address >> 16)};
      json += b ? ",\"" : "\"";
      hexRecord(json, 4, 0, high, 2);
      const size_t length = 16 * (1 + size_t(shape & 0x3F));  // within the kilobyte
      for (size_t at = 0; at < length; at += sizeof bytes) {
        for (size_t k = 0; k < sizeof bytes; ++k) bytes[k] = uint8_t(shape * 31 + (at + k) * 7);
        json += ",\"";
        hexRecord(json, 0, uint16_t(address + at), bytes, sizeof bytes);
      }
    }
    json += "]}";
  }
  json += "]";
  std::istringstream text(json);
  lc::LcApp app;
  if (app.openFromStream(text) != lc::LcApp::Opened) {
    // Only a type chosen twice is refused; what came before it stays.
    if (app.getIds().empty()) std::abort();
  }
  return app;
}

// ---- The relay's replies ----

struct Reply {
  enum Kind { Status, Closing, Other } kind;
  uint16_t state;     // what a status frame sets the state word to
  size_t end;         // offset past the frame in the relay's stream
  size_t released;    // stream bytes out once this reply goes: a cut frame waits
  size_t after;       // packets written before it goes
  size_t completeAt;  // when the whole frame is out, or kNever
};

void frame(std::vector<uint8_t>& stream, uint16_t type, const uint8_t* payload, size_t length) {
  uint8_t header[lc::Frame::kHeaderSize];
  lc::encodeHeader(type, uint16_t(length), header);
  stream.insert(stream.end(), header, header + sizeof header);
  stream.insert(stream.end(), payload, payload + length);
}

// Input: four bytes a reply: kind (low 3 bits; bit 3 holds it back until
// after the send), a value, when it goes (scaled to the stream), and how
// many of its last bytes go with the next reply instead.
std::vector<Reply> replies(Input& in, size_t packets, bool holdBack, std::vector<uint8_t>& stream) {
  std::vector<Reply> out;
  uint8_t payload[32];
  size_t after = 0;
  while (in.size >= 4 && out.size() < kMaxReplies) {
    const uint8_t a = in.next(), b = in.next(), c = in.next(), d = in.next();
    std::memset(payload, d, sizeof payload);
    Reply r{Reply::Other, 0, 0, 0, 0, kNever};
    const size_t start = stream.size();
    switch (a & 7) {
      case 0:
      case 1:
      case 2:
      case 7: {  // a full status, longer than needed for kind 7
        r.kind = Reply::Status;
        r.state = b;
        payload[0] = b, payload[1] = 0;
        const size_t extra = (a & 7) == 7 ? d % 8 : 0;
        frame(stream, lc::Frame::Status, payload, lc::Event::kFullStatusLength + extra);
        break;
      }
      case 3: {  // cut short: a missing state byte reads as zero
        r.kind = Reply::Status;
        const size_t length = (a >> 5) % 3;
        payload[0] = b, payload[1] = 0;
        r.state = length == 0 ? 0 : b;
        frame(stream, lc::Frame::Status, payload, length);
        break;
      }
      case 4:
        r.kind = Reply::Closing;
        frame(stream, lc::Frame::Close, payload, b % 4);
        break;
      case 5:
        frame(stream, lc::Frame::DataOne + (b & 1), payload, (b >> 1) % sizeof payload);
        break;
      default:
        frame(stream, uint16_t(4 + b % 8), payload, b % 16);
    }
    r.end = stream.size();
    r.released = r.end - d % (r.end - start);
    const size_t when = (a & 8) && holdBack ? packets + 1 : (size_t(c) * (packets + 1)) >> 8;
    after = std::max(after, when);
    r.after = after;
    out.push_back(r);
  }
  // A frame is whole once the reply that lets out its last byte goes.
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i].released == out[i].end) {
      out[i].completeAt = out[i].after;
    } else if (i + 1 < out.size()) {
      out[i].completeAt = out[i + 1].after;
    }
  }
  return out;
}

// The relay: checks every write and serves the replies. A write returns
// once the link has read every byte it let out and waits for more (or the
// stream ended), so each packet meets a link in a known state.
class RelayPeer : public lcfuzz::MemoryDriverBase {
 public:
  RelayPeer(const std::vector<uint8_t>& stream, const std::vector<Reply>& replies, bool endsLink,
            size_t piece, const std::vector<uint8_t>& expected, size_t failAt)
      : stream_(stream),
        replies_(replies),
        endsLink_(endsLink),
        piece_(piece),
        expected_(expected),
        failAt_(failAt) {
    release(0);
  }

  bool write(const unsigned char* bytes, unsigned int length) override {
    std::unique_lock<std::mutex> lock(mutex_);
    lastWrite_ = Clock::now();
    if (ended_ || closed_ || written_ == failAt_) return false;
    cutter_.feed(bytes, length, [&](const lc::FrameView& f) {
      const size_t at = frames_ * LoaderStream::kPacketSize;
      if (f.type != Uploader::kFrameType || f.length() != LoaderStream::kPacketSize ||
          at + LoaderStream::kPacketSize > expected_.size() ||
          std::memcmp(f.payload(), expected_.data() + at, LoaderStream::kPacketSize) != 0) {
        std::abort();
      }
      ++frames_;
    });
    // One write, one frame: a frame split across writes could interleave.
    if (cutter_.pending() != 0 || frames_ != written_ + 1) std::abort();
    ++written_;
    // Most packets let nothing out: no need to wake the reader for them.
    if (release(written_)) {
      cv_.notify_all();
      cv_.wait(lock, [&] { return idle(); });
    }
    return true;
  }

  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override {
    std::unique_lock<std::mutex> lock(mutex_);
    received = 0;
    reading_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return closed_ || consumed_ < released_ || ending(); });
    reading_ = false;
    if (closed_ || consumed_ == released_) {
      ended_ = true;
      cv_.notify_all();
      return false;
    }
    const size_t n = std::min({released_ - consumed_, size_t(maximum), piece_});
    std::memcpy(buffer, stream_.data() + consumed_, n);
    consumed_ += n;
    received = unsigned(n);
    return true;
  }

  void close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }

  // Lets out every reply, those held back for the watch too.
  void releaseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    release(kNever);
    cv_.notify_all();
  }

  void waitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return idle(); });
  }

  bool ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }
  size_t frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  // When the latest write began: the uploader's watch bound starts after it.
  Clock::time_point lastWrite() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastWrite_;
  }

 private:
  // True when replies went out.
  bool release(size_t written) {
    const size_t before = next_;
    for (; next_ < replies_.size() && replies_[next_].after <= written; ++next_) {
      released_ = replies_[next_].released;
    }
    return next_ != before;
  }
  bool ending() const { return endsLink_ && next_ == replies_.size(); }
  bool idle() const {
    return ended_ || closed_ || (reading_ && consumed_ == released_ && !ending());
  }

  const std::vector<uint8_t>& stream_;
  const std::vector<Reply>& replies_;
  const bool endsLink_;
  const size_t piece_;
  const std::vector<uint8_t>& expected_;
  const size_t failAt_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  size_t next_ = 0;  // replies let out so far
  size_t released_ = 0;
  size_t consumed_ = 0;
  size_t written_ = 0;
  size_t frames_ = 0;
  bool reading_ = false;
  bool ended_ = false;
  bool closed_ = false;
  Clock::time_point lastWrite_;
  lc::FrameCutter cutter_;
};

// ---- What must happen ----

// An event a watch may see: a status frame's state word, or the end.
struct Seen {
  bool closed;
  uint16_t state;
};

// The state word once the frames whole by `written` packets were read.
uint16_t stateAt(const std::vector<Reply>& replies, size_t written) {
  uint16_t state = 0;
  for (const Reply& r : replies) {
    if (r.kind == Reply::Status && r.completeAt <= written) state = r.state;
  }
  return state;
}

// Whether the link had read a status frame by then: until it has, the first
// status a watch hears is the state word to compare with, not a change.
bool statusAt(const std::vector<Reply>& replies, size_t written) {
  return std::any_of(replies.begin(), replies.end(), [&](const Reply& r) {
    return r.kind == Reply::Status && r.completeAt <= written;
  });
}

// Events whole after `from` packets and by `to`, in order.
std::vector<Seen> eventsBetween(const std::vector<Reply>& replies, size_t from, size_t to) {
  std::vector<Seen> out;
  for (const Reply& r : replies) {
    if (r.completeAt <= from || r.completeAt > to) continue;
    if (r.kind == Reply::Status) out.push_back({false, r.state});
    if (r.kind == Reply::Closing) out.push_back({true, 0});
  }
  return out;
}

// The first event that decides a watch for a change from `before`: 1 a
// change, 2 the end, 0 none.
int decide(const std::vector<Seen>& events, size_t from, uint16_t before, bool known) {
  for (size_t i = from; i < events.size(); ++i) {
    if (events[i].closed) return 2;
    if (!known) {
      before = events[i].state;
      known = true;
    } else if (events[i].state != before) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

// Input: a mode byte (bits 0-1 upload, or send then waitChange or
// waitClose; bits 2-3 the loader kind; bit 4 the relay ends the link after
// its last reply, else it falls silent; bit 5 the long bound, with the end), the packet whose write
// fails (0 none, else scaled to the stream), the largest piece a read hands over (0 no limit), the
// delay in microseconds before held-back replies go; then the package, then the replies.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lcfuzz::quietLog();
  if (size < 4) return 0;
  Input in{data, size};
  const uint8_t mode = in.next(), failByte = in.next(), pieceByte = in.next();
  const auto delay = std::chrono::microseconds(in.next());
  const unsigned drive = mode & 3;  // 0, 1: upload; 2: waitChange; 3: waitClose
  const auto kind = static_cast<LoaderStream::Type>((mode >> 2) & 3);
  const bool strict = (mode & 32) != 0;
  const bool endsLink = strict || (mode & 16) != 0;
  const std::chrono::microseconds bound = strict ? kLongBound : kShortBound;

  LoaderStream loader(package(in, kind));
  loader.generate(kind);
  const std::vector<uint8_t>& expected = loader.data();
  if (expected.size() % LoaderStream::kPacketSize != 0) std::abort();
  const size_t packets = expected.size() / LoaderStream::kPacketSize;
  const size_t failAt = failByte == 0 ? kNever : (size_t(failByte - 1) * (packets + 1)) / 255;
  const size_t piece = pieceByte == 0 ? kNever : pieceByte;

  std::vector<uint8_t> stream;
  const std::vector<Reply> script = replies(in, packets, drive >= 2, stream);
  // Once every reply is out, a relay that ends the link does so.
  const size_t endAt = !endsLink ? kNever : script.empty() ? 0 : script.back().after;

  RelayPeer peer(stream, script, endsLink, piece, expected, failAt);
  lc::Communication link;
  link.setDriver(&peer);
  if (!link.start()) std::abort();
  // The replies due before the first packet are read; an end already came
  // is delivered before anybody listens.
  peer.waitIdle();
  if (peer.ended()) link.join();

  Uploader::Timing timing;
  timing.pause = std::chrono::microseconds(0);
  // A slice that passes without an event ends a watch as the bound does.
  timing.waitMs = unsigned(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count());
  timing.bound = bound;
  timing.settle = std::chrono::microseconds(0);
  Uploader uploader(link, timing);
  uint32_t reported = 0;
  lc::ProgressPacer progress(
      [&](uint32_t sent, uint32_t total) {
        if (total != packets || sent != reported + 1) std::abort();
        reported = sent;
      },
      std::chrono::milliseconds(0));

  // Every write succeeds up to the one that fails, or to the first after
  // the link ended.
  const size_t stopsAt = std::min(failAt, endAt);
  const size_t written = std::min(stopsAt, packets);
  const bool sent = stopsAt >= packets;

  const Clock::time_point began = Clock::now();
  bool overran = false;
  if (drive < 2) {
    const Uploader::Result r = uploader.upload(loader, &progress);
    overran = Clock::now() - (packets == 0 ? began : peer.lastWrite()) >= bound;
    Uploader::Result due = Uploader::NotSent;
    if (sent && packets == 0) {
      due = Uploader::NoChange;  // every reply was read before the watch began
    } else if (sent) {
      // Armed before the last packet: it hears what that packet let out.
      const std::vector<Seen> events = eventsBetween(script, packets - 1, packets);
      switch (decide(events, 0, stateAt(script, packets - 1), statusAt(script, packets - 1))) {
        case 1:
          due = Uploader::Changed;
          break;
        case 2:
          due = Uploader::Closed;
          break;
        default:
          due = endAt == packets ? Uploader::Closed : Uploader::NoChange;
      }
    }
    if (r != due && !(r == Uploader::NoChange && overran && due != Uploader::NotSent)) std::abort();
  } else {
    if (uploader.send(loader, &progress) != sent) std::abort();
    // What the link read before the watch, and what may reach it: the end
    // of a link that ended before or during the send (a watch sees a link
    // that is already down at once), then the held-back replies. A send cut
    // short by a failed write ended the link too: a failed write always does.
    const uint16_t state = stateAt(script, written);
    std::vector<Seen> events;
    const bool endedEarly = !sent || (endAt != kNever && endAt <= written);
    if (endedEarly) events.push_back({true, 0});
    const std::vector<Seen> late = eventsBetween(script, written, kNever - 1);
    events.insert(events.end(), late.begin(), late.end());
    if (endAt != kNever && endAt > written) events.push_back({true, 0});

    std::thread relay([&] {
      std::this_thread::sleep_for(delay);
      peer.releaseAll();
    });
    const Clock::time_point watched = Clock::now();
    const bool got = drive == 2 ? uploader.waitChange() : uploader.waitClose();
    overran = Clock::now() - watched >= bound;
    relay.join();

    // The watch began listening before some event k and read the state
    // word before some event j >= k; it may have missed any earlier ones.
    bool changeFits = false, endFits = false;
    uint16_t before = state;
    bool known = statusAt(script, written);
    for (size_t j = 0; j <= events.size(); ++j) {
      for (size_t k = 0; k <= j; ++k) {
        const int d = decide(events, k, before, known);
        changeFits |= d == 1;
        endFits |= d == 2;
      }
      if (j < events.size() && !events[j].closed) {
        before = events[j].state;
        known = true;
      }
    }
    const bool anyEnd =
        std::any_of(events.begin(), events.end(), [](const Seen& e) { return e.closed; });
    if (drive == 2 && (got ? !changeFits : !(overran || endFits))) std::abort();
    if (drive == 3 && (got ? !anyEnd : !overran)) std::abort();
  }

  if (peer.frames() != written || reported != written) std::abort();
  link.stopAndWait();
  return 0;
}
