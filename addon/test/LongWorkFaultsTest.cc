// The long exchanges (the topology update, the firmware upload, the SD-card
// transfer) against a relay that stops in their middle: it stops answering
// while its status frames go on, falls silent altogether (on a link that
// waits for ever, and on one that ends after a read bound), closes the
// connection, or the link is stopped under the work. Each ends once, within
// its own bound counted from the fault, with its failure result and log
// line, and leaves no thread or descriptor behind.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "commands/SdSender.h"
#include "firmware/Hex.h"
#include "firmware/LcApp.h"
#include "firmware/LoaderStream.h"
#include "firmware/Uploader.h"
#include "support/HexSupport.h"
#include "support/Resources.h"
#include "support/RespondingDriver.h"
#include "topology/TopologyComputation.h"

namespace {

using namespace std::chrono_literals;
using lc::Communication;
using lc::test::LogCapture;
using lc::test::RespondingDriver;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using lc::test::baseline;
using lc::test::Held;
using lc::test::settleTo;

// How the relay stops, at a chosen frame of the exchange.
enum class Fault {
  Mute,         // no more answers; its status frames go on, state unchanged
  Silence,      // nothing at all, on a link whose reads wait for ever
  SilenceRead,  // nothing at all, and the link's read bound ends the link
  Close,        // the relay closes the connection
  Stop,         // the link is stopped from another thread
};

const char* nameOf(Fault f) {
  switch (f) {
    case Fault::Mute:
      return "answers stop, status frames go on";
    case Fault::Silence:
      return "silence";
    case Fault::SilenceRead:
      return "silence until the read bound";
    case Fault::Close:
      return "the relay closes";
    case Fault::Stop:
      return "the link is stopped";
  }
  return "";
}

constexpr auto kReadBound = 100ms;

// A relay on an in-process link, status frames every 20 ms, that answers
// through `answer` up to frame `faultAt` and plays the fault right after
// that answer; later frames get no answer.
class Rig {
 public:
  using Answer = std::function<void(RespondingDriver&, const Bytes&, size_t)>;

  Rig(Fault fault, size_t faultAt, Answer answer)
      : driver_(fault == Fault::SilenceRead ? std::chrono::milliseconds(kReadBound) : 60s),
        fault_(fault),
        faultAt_(faultAt),
        answer_(std::move(answer)) {
    driver_.onFrame([this](const Bytes& payload, size_t index) { onFrame(payload, index); });
    link.setDriver(&driver_);
    started = link.start();
    driver_.status(driver_.state.load());
    driver_.startTicker(20ms);
  }
  ~Rig() {
    if (stopper_.joinable()) stopper_.join();
    driver_.stopTicker();
    link.stopAndWait();
  }

  // Milliseconds from the fault to now; negative when it was not played.
  double msSinceFault() const {
    if (!faulted_) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - faultTime_).count();
  }
  size_t framesWritten() const { return driver_.frames().size(); }

  Communication link;
  bool started = false;

 private:
  void onFrame(const Bytes& payload, size_t index) {
    if (faulted_) return;
    answer_(driver_, payload, index);
    if (index < faultAt_) return;
    faultTime_ = Clock::now();
    faulted_ = true;
    switch (fault_) {
      case Fault::Mute:
        break;
      case Fault::Silence:
      case Fault::SilenceRead:
        driver_.stopTicker();
        break;
      case Fault::Close:
        driver_.stopTicker();
        driver_.peerClose();
        break;
      case Fault::Stop:
        stopper_ = std::thread([this] { link.stop(); });
        break;
    }
  }

  RespondingDriver driver_;
  Fault fault_;
  size_t faultAt_;
  Answer answer_;
  std::atomic<bool> faulted_{false};
  Clock::time_point faultTime_;
  std::thread stopper_;
};

// One long exchange: runs it on the rig and says whether it succeeded.
struct Work {
  const char* name;
  size_t faultAt;  // the last frame the relay answers
  Rig::Answer answer;
  std::function<bool(Communication&)> run;
  size_t packets;  // of a loader stream, 0 for other work
};

// Quadra records (four channels): total, id, kinds, neighbours.
Bytes lonelyRecord(uint16_t total, uint16_t id) {
  Bytes r(20, 0);
  r[0] = uint8_t(total);
  r[2] = uint8_t(id);
  return r;
}

lc::TopologyComputation::Timing topologyTiming() {
  lc::TopologyComputation::Timing t;
  t.waitMs = 250;
  t.limit = 800ms;
  return t;
}

lc::Uploader::Timing uploaderTiming() {
  lc::Uploader::Timing t;  // the real 5 ms pause: the stream outlasts the read bound
  t.waitMs = 200;
  t.bound = 400ms;
  t.settle = 100ms;
  return t;
}

lc::SdSender::Timing sdTiming() {
  lc::SdSender::Timing t;
  t.waitMs = 150;
  t.bound = 400ms;
  return t;
}

// Four kilobytes of RAM image: 103 packets, about half a second of pauses.
const lc::LoaderStream& fourKb() {
  static const lc::LoaderStream loader = [] {
    lc::Hex hex;
    for (uint32_t i = 0; i < 4 * lc::Hex::kBlockSize; ++i)
      hex.storeData(0xA0000000 + i, uint8_t(i));
    const std::string path = lc::test::tempPath("long-work.hex");
    EXPECT_EQ(hex.saveToFile(path), lc::Hex::Ok);
    lc::LcApp app;
    EXPECT_EQ(app.addHex("quadra", path), lc::LcApp::Opened);
    lc::LoaderStream l(app);
    l.genAppOnly();
    return l;
  }();
  return loader;
}

std::string sdFile() {
  static const std::string path = [] {
    auto p = std::filesystem::temp_directory_path() /
             ("lc-long-work-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(p, std::ios::binary) << std::string(2000, 'x');
    return p.string();
  }();
  return path;
}

Bytes sdAnswer(uint8_t code, uint32_t remaining) {
  return {code, uint8_t(remaining), uint8_t(remaining >> 8), uint8_t(remaining >> 16),
          uint8_t(remaining >> 24)};
}

Work topologyWork() {
  // The request (frame 0) gets the first record of a cycle of three, and
  // nothing more.
  return {"topology update", 0,
          [](RespondingDriver& d, const Bytes&, size_t) { d.data(lonelyRecord(3, 0)); },
          [](Communication& link) {
            lc::TopologyComputation computation(link, topologyTiming());
            return computation.update(lc::TypeRelay, lc::TypeQuadra);
          },
          0};
}

Work uploadWork() {
  // The boot code answers nothing; the fault at packet 10 only changes what
  // else comes from the relay.
  return {"upload", 10, [](RespondingDriver&, const Bytes&, size_t) {},
          [](Communication& link) {
            lc::Uploader uploader(link, uploaderTiming());
            return uploader.upload(fourKb()) == lc::Uploader::Changed;
          },
          fourKb().data().size() / lc::LoaderStream::kPacketSize};
}

Work sdWork() {
  // Ready, then an acknowledgement per data frame, up to the fifth frame.
  return {"SD transfer", 5,
          [](RespondingDriver& d, const Bytes&, size_t index) {
            const uint32_t size = 2000;
            if (index == 0) {
              d.data(sdAnswer(lc::SdSender::Ready, size));
              return;
            }
            d.data(sdAnswer(0, size - uint32_t(index) * 128));
          },
          [](Communication& link) {
            lc::SdSender sender(link, sdTiming());
            return sender.start(sdFile(), "");
          },
          0};
}

TEST(LongWorkFaults, EachFailsWithinItsBoundFromTheFault) {
  struct Case {
    Work work;
    Fault fault;
    double minMs, maxMs;  // from the fault to the result
    const char* line;     // the failure line, where the work writes one
    bool linkUp;          // the work ended on its own bound, the link lives on
    // A link that ends may fail the next write before the wait sees the end.
    const char* orLine = nullptr;
  };
  const Work topology = topologyWork(), upload = uploadWork(), sd = sdWork();
  const char* nextData = "A communication error occured while waiting to send the next data.";
  const char* sending = "A communication error occured while sending the data.";
  // The upload's rest of the stream (92 packets, at least 460 ms, more on a
  // loaded machine) and then its watch: the bound (400 ms) while status
  // frames come, one wait slice (200 ms) when nothing does.
  const Case cases[] = {
      {topology, Fault::Mute, 700, 1100, nullptr, true},
      {topology, Fault::Silence, 240, 600, nullptr, true},
      {topology, Fault::SilenceRead, 80, 400, nullptr, false},
      {topology, Fault::Close, 0, 150, nullptr, false},
      {topology, Fault::Stop, 0, 150, nullptr, false},
      {upload, Fault::Mute, 850, 3000, nullptr, true},
      {upload, Fault::Silence, 650, 3000, nullptr, true},
      {upload, Fault::SilenceRead, 80, 400, nullptr, false},
      {upload, Fault::Close, 0, 150, nullptr, false},
      {upload, Fault::Stop, 0, 150, nullptr, false},
      {sd, Fault::Mute, 390, 700, "A timeout occured while waiting to send the next data.", true},
      {sd, Fault::Silence, 140, 450, nextData, true},
      {sd, Fault::SilenceRead, 80, 400, nextData, false, sending},
      {sd, Fault::Close, 0, 150, nextData, false, sending},
      {sd, Fault::Stop, 0, 150, nextData, false, sending},
  };
  sdFile();
  const Held before = baseline();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.work.name) + ", " + nameOf(c.fault));
    LogCapture log;
    double ms = -1;
    bool result = true;
    size_t written = 0;
    bool linkUp = false;
    {
      Rig rig(c.fault, c.work.faultAt, c.work.answer);
      ASSERT_TRUE(rig.started);
      result = c.work.run(rig.link);
      ms = rig.msSinceFault();
      written = rig.framesWritten();
      linkUp = rig.link.running();
    }
    EXPECT_FALSE(result);
    ASSERT_GE(ms, 0) << "the fault was never played";
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
    EXPECT_EQ(linkUp, c.linkUp);
    const std::string text = log.text();
    EXPECT_EQ(text.find("Topology computed."), std::string::npos) << text;
    if (c.line != nullptr) {
      // The cause, then the transfer's closing line, nothing between.
      const bool found =
          text.find(std::string(c.line) + "\n") != std::string::npos ||
          (c.orLine != nullptr && text.find(std::string(c.orLine) + "\n") != std::string::npos);
      EXPECT_TRUE(found) << text;
      EXPECT_NE(text.find("] An error occured while sending the file.\n"), std::string::npos)
          << text;
    }
    if (c.work.packets > 0) {
      // A relay that merely falls quiet still gets the whole stream; a link
      // that ended gets nothing after the write that failed.
      if (c.linkUp) {
        EXPECT_EQ(written, c.work.packets);
      } else {
        EXPECT_LT(written, c.work.packets);
      }
    }
  }
  const Held after = settleTo(before);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
}

}  // namespace
