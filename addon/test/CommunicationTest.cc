#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "link/Communication.h"
#include "link/EventListener.h"
#include "support/MixedFrames.h"
#include "support/Recorders.h"
#include "support/ScriptedDriver.h"

namespace {

using namespace std::chrono_literals;
using lc::Communication;
using lc::Event;
using lc::test::checkMixedEvents;
using lc::test::EventRecorder;
using lc::test::frame;
using lc::test::mixedFrames;
using lc::test::RawRecorder;
using lc::test::ScriptedDriver;
using lc::test::statusPayload;
using Bytes = std::vector<unsigned char>;

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A link started on a scripted driver, with one event and one raw recorder.
struct Harness {
  explicit Harness(std::chrono::milliseconds readTimeout = 3000ms) : driver(readTimeout) {
    link.setDriver(&driver);
    link.addEventListener(events);
    link.addRawListener(raw);
  }
  ~Harness() { link.stopAndWait(); }

  ScriptedDriver driver;
  EventRecorder events;
  RawRecorder raw;
  Communication link;  // last: destroyed (stopped) before the recorders
};

TEST(Communication, IdleLinkHasInitialValuesAndSendsNothing) {
  Communication link;
  EXPECT_FALSE(link.running());
  EXPECT_EQ(link.lastState(), 0u);
  EXPECT_EQ(link.lastVersion(), 0u);
  EXPECT_EQ(link.lastPacketSize(), 918u);
  EXPECT_EQ(link.lastPace(), 1u);
  EXPECT_FALSE(link.start());  // no driver

  ScriptedDriver driver;
  link.setDriver(&driver);
  const unsigned char payload[2] = {4, 0x80};
  EXPECT_FALSE(link.sendFrame(1, payload, 2));
  EXPECT_EQ(driver.writeCalls(), 0);
  EXPECT_EQ(driver.connectCalls(), 0);
}

TEST(Communication, FailedConnectLeavesTheLinkIdle) {
  ScriptedDriver driver;
  driver.setConnectResult(false);
  Communication link;
  link.setDriver(&driver);
  EXPECT_FALSE(link.start());
  EXPECT_FALSE(link.running());
  driver.setConnectResult(true);
  EXPECT_TRUE(link.start());  // nothing was left behind by the failure
  link.stopAndWait();
}

// A driver that can only read exactly, as a driver without its own
// readSome: the link must still work, a byte per read.
class ExactReadsDriver : public ScriptedDriver {
 public:
  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override {
    return ComDriver::readSome(buffer, maximum, received);
  }
};

// The same frames must decode alike however the transport cuts them.
TEST(Communication, DecodesFramesWhateverTheSegmentation) {
  const std::vector<Bytes> frames = mixedFrames();
  const Bytes all = concat(frames);
  for (size_t chunk : {all.size(), size_t(1), size_t(7), size_t(4099), size_t(0)}) {
    SCOPED_TRACE(chunk);
    ExactReadsDriver exact;
    Harness h;
    if (chunk == 0) {  // the whole stream, read through the byte-per-read fallback
      ASSERT_TRUE(h.link.setDriver(&exact));
      chunk = all.size();
    }
    ScriptedDriver& driver = h.link.driver() == &exact ? exact : h.driver;
    ASSERT_TRUE(h.link.start());
    for (size_t at = 0; at < all.size(); at += chunk) {
      driver.feed(Bytes(all.begin() + at, all.begin() + std::min(all.size(), at + chunk)));
    }
    ASSERT_TRUE(h.events.waitFor(10));
    checkMixedEvents(h.events.events());
    EXPECT_TRUE(h.link.running());
    EXPECT_EQ(h.link.lastState(), 7u);
    EXPECT_EQ(h.link.lastVersion(), 0x01020304u);
    EXPECT_EQ(h.link.lastPacketSize(), 1024u);
    EXPECT_EQ(h.link.lastPace(), 40u);
    // Raw listeners see every byte, unknown types and whole long payloads,
    // each frame in one call.
    EXPECT_EQ(h.raw.bytes(), all);
    EXPECT_EQ(h.raw.calls(), frames.size());
    h.link.stopAndWait();
  }
}

TEST(Communication, ShortStatusResetsLatestVersion) {
  Harness h;
  ASSERT_TRUE(h.link.start());
  h.driver.feed(frame(0, statusPayload(1, 2, 99, 1000, 0, 0, 0)));
  ASSERT_TRUE(h.events.waitFor(1));
  EXPECT_EQ(h.link.lastVersion(), 99u);
  h.driver.feed(frame(0, {5, 0, 3, 0}));
  ASSERT_TRUE(h.events.waitFor(2));
  EXPECT_EQ(h.link.lastVersion(), 0u);
  EXPECT_EQ(h.link.lastPacketSize(), 918u);
  EXPECT_EQ(h.link.lastState(), 5u);
  EXPECT_EQ(h.link.lastPace(), 3u);
}

TEST(Communication, EndOfLinkGivesEveryListenerOneClosed) {
  enum class End { PeerClose, Silence, Stop, CutInPayload };
  for (End end : {End::PeerClose, End::Silence, End::Stop, End::CutInPayload}) {
    SCOPED_TRACE(int(end));
    Harness h(200ms);
    EventRecorder second;
    h.link.addEventListener(second);
    ASSERT_TRUE(h.link.start());
    h.driver.feed(frame(0, {1, 0, 0, 0}));
    ASSERT_TRUE(h.events.waitFor(1));
    switch (end) {
      case End::PeerClose:
        h.driver.peerClose();
        break;
      case End::Silence:
        break;
      case End::Stop:
        h.link.stop();
        break;
      case End::CutInPayload:
        h.driver.feed({1, 0, 10, 0, 1, 2});
        h.driver.peerClose();
        break;
    }
    ASSERT_TRUE(h.events.waitFor(2));
    h.link.join();
    EXPECT_FALSE(h.link.running());
    EXPECT_EQ(h.events.count(Event::Closed), 1u);
    EXPECT_EQ(second.count(Event::Closed), 1u);
    EXPECT_EQ(h.events.events().size(), 2u);
    EXPECT_EQ(h.raw.calls(), 1u);  // a cut frame reaches nobody
    h.link.removeEventListener(second);
  }
}

TEST(Communication, SendFrameWritesOneWholeFrame) {
  Harness h;
  ASSERT_TRUE(h.link.start());
  const unsigned char payload[2] = {4, 0x80};
  EXPECT_TRUE(h.link.sendFrame(1, payload, 2));
  EXPECT_TRUE(h.link.sendFrame(2, nullptr, 0));
  Bytes large(65535, 0xAB);
  EXPECT_TRUE(h.link.sendFrame(0x0105, large.data(), 65535));
  EXPECT_EQ(h.driver.writeCalls(), 3);
  Bytes expected = concat({{1, 0, 2, 0, 4, 0x80}, {2, 0, 0, 0}, {5, 1, 0xFF, 0xFF}, large});
  EXPECT_EQ(h.driver.written(), expected);

  // A missing payload is refused rather than read.
  EXPECT_FALSE(h.link.sendFrame(1, nullptr, 2));
  Bytes tooLong(65536);
  EXPECT_FALSE(h.link.sendFrame(1, tooLong.data(), 65536));
  EXPECT_EQ(h.driver.writeCalls(), 3);

  // A failed write is reported and ends the link: part of the frame may
  // have left, so the stream cannot be trusted after it.
  h.driver.setWriteResult(false);
  EXPECT_FALSE(h.link.sendFrame(1, payload, 2));
  EXPECT_FALSE(h.link.running());
  EXPECT_FALSE(h.link.sendFrame(1, payload, 2));
  EXPECT_EQ(h.driver.writeCalls(), 4);
}

TEST(Communication, ListenersAreUniqueAndRemovable) {
  Harness h;
  EventRecorder other;
  RawRecorder otherRaw;
  h.link.addEventListener(h.events);  // second add: still one entry
  h.link.removeEventListener(other);  // not registered: nothing happens
  h.link.addEventListener(other);
  h.link.removeEventListener(other);
  h.link.addRawListener(h.raw);
  h.link.addRawListener(otherRaw);
  h.link.removeRawListener(otherRaw);
  ASSERT_TRUE(h.link.start());
  h.driver.feed(frame(0, {1, 0, 0, 0}));
  ASSERT_TRUE(h.events.waitFor(1));
  ASSERT_TRUE(h.driver.waitDrained(1s));
  h.link.stopAndWait();
  EXPECT_EQ(h.events.events().size(), 2u);  // the status and the end, once each
  EXPECT_EQ(h.raw.calls(), 1u);             // one call per frame, header and payload together
  EXPECT_TRUE(other.events().empty());
  EXPECT_EQ(otherRaw.calls(), 0u);
}

// A listener that notices being called after its destructor began.
class Probe : public lc::EventListenerBase {
 public:
  Probe(Communication& link, std::atomic<int>& late) : link_(link), late_(late) {
    link_.addEventListener(*this);
  }
  ~Probe() override {
    link_.removeEventListener(*this);
    gone_ = true;
    std::this_thread::yield();  // give a wrong delivery a chance to land
  }
  void addEvent(const Event&) override {
    if (gone_) ++late_;
  }

 private:
  Communication& link_;
  std::atomic<int>& late_;
  std::atomic<bool> gone_{false};
};

TEST(Communication, RemovedListenerIsNeverCalledAgain) {
  Harness h;
  ASSERT_TRUE(h.link.start());
  std::atomic<bool> flowing{true};
  std::thread relay([&] {
    const Bytes f = concat({frame(0, {1, 0, 0, 0}), frame(1, {1, 2, 3})});
    while (flowing) {
      h.driver.feed(f);
      h.driver.waitDrained(100ms);
    }
  });
  std::atomic<int> late{0};
  for (int i = 0; i < 300; ++i) {
    auto probe = std::make_unique<Probe>(h.link, late);
    auto listener = std::make_unique<lc::EventListener>(h.link);
    std::this_thread::yield();
  }
  flowing = false;
  relay.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_TRUE(h.link.running());
}

TEST(Communication, StartIsRefusedUntilThePreviousRunIsJoined) {
  Harness h(200ms);
  ASSERT_TRUE(h.link.start());
  EXPECT_FALSE(h.link.start());  // running
  ScriptedDriver other;
  EXPECT_FALSE(h.link.setDriver(&other));
  h.driver.peerClose();
  ASSERT_TRUE(h.events.waitFor(1));
  // Ended but not joined: the thread handle must not be replaced.
  EXPECT_FALSE(h.link.start());
  EXPECT_FALSE(h.link.setDriver(&other));
  EXPECT_EQ(h.driver.connectCalls(), 1);
  h.link.join();
  EXPECT_TRUE(h.link.setDriver(&other));
  EXPECT_TRUE(h.link.start());
  EXPECT_EQ(other.connectCalls(), 1);
  h.link.stopAndWait();
  EXPECT_TRUE(h.link.setDriver(&h.driver));
}

TEST(Communication, RetiredLinkNeverStartsAgain) {
  Harness h;
  ASSERT_TRUE(h.link.start());
  h.link.retire();
  EXPECT_FALSE(h.link.running());
  EXPECT_EQ(h.events.count(Event::Closed), 1u);
  EXPECT_FALSE(h.link.start());
  EXPECT_EQ(h.driver.connectCalls(), 1);
}

// Only the stops after a ticket was taken count against it, and every
// earlier ticket loses to a stop.
TEST(Communication, TicketsOfStartsRequestedBeforeAStopFail) {
  Harness h;
  const uint64_t first = h.link.ticket();
  const uint64_t second = h.link.ticket();
  h.link.stop();
  const uint64_t afterStop = h.link.ticket();
  EXPECT_FALSE(h.link.start(first));
  EXPECT_FALSE(h.link.start(second));
  EXPECT_EQ(h.driver.connectCalls(), 0);
  ASSERT_TRUE(h.link.start(afterStop));
  EXPECT_EQ(h.driver.connectCalls(), 1);
  h.link.stopAndWait();
  EXPECT_FALSE(h.link.start(afterStop));  // that stop ended its run; a new start needs a new ticket
  EXPECT_TRUE(h.link.start(h.link.ticket()));
}

}  // namespace
