// The link over a real loopback connection with the TCP driver.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "link/Communication.h"
#include "support/FakeRelay.h"
#include "support/MixedFrames.h"
#include "support/Recorders.h"
#include "support/ScriptedDriver.h"
#include "transport/TcpipDriver.h"

namespace {

using namespace std::chrono_literals;
using lc::Communication;
using lc::Event;
using lc::TcpipDriver;
using lc::test::FakeRelay;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

TcpipDriver::Timing fast(unsigned readSeconds = 1) {
  TcpipDriver::Timing t;
  t.connectSeconds = 2;
  t.readSeconds = readSeconds;
  return t;
}

// Connected link with a recorder; the relay side accepted. A frame must
// arrive whole within `readSeconds` of its first byte.
struct Linked {
  explicit Linked(unsigned readSeconds = 1)
      : driver("127.0.0.1", relay.port(), "test", fast(readSeconds)) {
    link.setDriver(&driver);
    link.addEventListener(events);
    started = link.start() && relay.accept();
  }
  ~Linked() { link.stopAndWait(); }

  FakeRelay relay;
  TcpipDriver driver;
  lc::test::EventRecorder events;
  Communication link;
  bool started = false;
};

Bytes all() {
  Bytes out;
  for (const Bytes& f : lc::test::mixedFrames()) out.insert(out.end(), f.begin(), f.end());
  return out;
}

TEST(CommunicationTcp, DecodesFramesSentInAnyPieces) {
  const Bytes bytes = all();
  for (size_t piece : {size_t(0), size_t(1), size_t(5), size_t(1500)}) {
    SCOPED_TRACE(piece);
    // One byte at a time, the 3000-byte frame takes most of a second even
    // on an idle machine: give it the link's own bound, not the tests' one.
    Linked l(3);
    ASSERT_TRUE(l.started);
    ASSERT_TRUE(l.relay.send(bytes, piece));
    ASSERT_TRUE(l.events.waitFor(10));
    lc::test::checkMixedEvents(l.events.events());
    EXPECT_TRUE(l.link.running());
  }
}

TEST(CommunicationTcp, SendFrameReachesTheRelayWhole) {
  Linked l;
  ASSERT_TRUE(l.started);
  Bytes big(65535);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 13);
  const unsigned char cmd[2] = {4, 0x80};
  ASSERT_TRUE(l.link.sendFrame(1, cmd, 2));
  ASSERT_TRUE(l.link.sendFrame(3, big.data(), 65535));
  Bytes expected = lc::test::frame(1, {4, 0x80});
  Bytes second = lc::test::frame(3, big);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(l.relay.receive(expected.size()), expected);
}

TEST(CommunicationTcp, EndsOnPeerCloseSilenceAndStop) {
  enum class End { PeerClose, Silence, Stop };
  for (End end : {End::PeerClose, End::Silence, End::Stop}) {
    SCOPED_TRACE(int(end));
    Linked l;
    ASSERT_TRUE(l.started);
    ASSERT_TRUE(l.relay.send(lc::test::frame(0, {1, 0, 0, 0})));
    ASSERT_TRUE(l.events.waitFor(1));
    auto t0 = Clock::now();
    if (end == End::PeerClose) l.relay.closeClient();
    if (end == End::Stop) l.link.stop();
    ASSERT_TRUE(l.events.waitFor(2, 3s));
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (end == End::Silence) {
      EXPECT_GE(s, 0.9);  // the driver's one-second read limit in these tests
    } else {
      EXPECT_LT(s, 0.8);
    }
    l.link.join();
    EXPECT_FALSE(l.link.running());
    EXPECT_EQ(l.events.count(Event::Closed), 1u);
    const unsigned char cmd[1] = {1};
    EXPECT_FALSE(l.link.sendFrame(1, cmd, 1));
  }
}

// A relay that neither reads nor sends: a sender blocked on the full
// connection must be released when the link ends on the silence, not stay
// stuck holding the transmit lock (which the next setDriver needs).
TEST(CommunicationTcp, EndOfLinkReleasesABlockedSender) {
  Linked l;
  ASSERT_TRUE(l.started);
  auto sender = std::async(std::launch::async, [&] {
    Bytes big(65535, 0x5A);
    while (l.link.sendFrame(3, big.data(), 65535)) {
    }
  });
  EXPECT_TRUE(l.events.waitFor(1, 3s));  // the Closed of the silence
  bool released = sender.wait_for(2s) == std::future_status::ready;
  if (!released) l.driver.close();  // let the test end either way
  EXPECT_TRUE(released);
  l.link.join();
}

// A full accept queue keeps a connect pending; retiring must not wait it out.
TEST(CommunicationTcp, RetireCancelsAConnectInProgress) {
  lc::test::LoopbackListener listener(0);
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) fillers.push_back(lc::test::connectLoopback(listener.port()));
  std::this_thread::sleep_for(100ms);

  TcpipDriver driver("127.0.0.1", listener.port(), "test");  // the fixed 10 s
  Communication link;
  link.setDriver(&driver);
  auto started = std::async(std::launch::async, [&] { return link.start(); });
  std::this_thread::sleep_for(200ms);
  auto t0 = Clock::now();
  link.retire();
  EXPECT_FALSE(started.get());
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.5);
  EXPECT_FALSE(link.start());
  for (int fd : fillers) ::close(fd);
}

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A connect that stays pending (full accept queue, fixed 10 s limit) ends
// well under 100 ms after a stop or a retire, and neither call waits for it.
TEST(CommunicationTcp, StopOrRetireCutsAPendingConnect) {
  for (bool retire : {false, true}) {
    SCOPED_TRACE(retire);
    lc::test::FullAcceptQueue queue;
    TcpipDriver driver("127.0.0.1", queue.port(), "test");
    Communication link;
    link.setDriver(&driver);
    const uint64_t ticket = link.ticket();
    auto started = std::async(std::launch::async, [&] { return link.start(ticket); });
    ASSERT_EQ(started.wait_for(200ms), std::future_status::timeout);  // still connecting
    EXPECT_FALSE(link.setDriver(nullptr));  // the connect still uses the driver

    auto t0 = Clock::now();
    if (retire) {
      link.retire();
    } else {
      link.stop();
      EXPECT_LT(msSince(t0), 100);  // stop returned without waiting
    }
    ASSERT_EQ(started.wait_for(100ms), std::future_status::ready);
    EXPECT_FALSE(started.get());
    EXPECT_LT(msSince(t0), 100);
    EXPECT_FALSE(link.running());
    if (retire) {
      EXPECT_FALSE(link.start());  // retired for good
    }
  }
}

// A driver that lets a stop land exactly between the start's checks and the
// real connect: without the epoch read before the checks, the connect would
// not know about that stop and wait out its limit.
class StoppedOnConnect : public TcpipDriver {
 public:
  using TcpipDriver::TcpipDriver;
  Communication* link = nullptr;
  bool connectUnlessClosed(uint64_t epoch) override {
    link->stop();
    return TcpipDriver::connectUnlessClosed(epoch);
  }
};

TEST(CommunicationTcp, StopBetweenCheckAndConnectIsNotLost) {
  lc::test::FullAcceptQueue queue;
  StoppedOnConnect driver("127.0.0.1", queue.port(), "test");  // the fixed 10 s
  Communication link;
  driver.link = &link;
  link.setDriver(&driver);
  auto t0 = Clock::now();
  EXPECT_FALSE(link.start());
  EXPECT_LT(msSince(t0), 100);
  EXPECT_FALSE(link.running());
}

}  // namespace
