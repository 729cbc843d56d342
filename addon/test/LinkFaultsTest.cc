// The link over loopback against a relay that breaks the stream in every
// way a connection can break: each fault ends the link once, within the
// read bound, after delivering exactly the whole frames that came before it,
// and leaves no descriptor or thread behind.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "link/Communication.h"
#include "support/FakeRelay.h"
#include "support/Recorders.h"
#include "support/Resources.h"
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
using lc::test::baseline;
using lc::test::Held;
using lc::test::settleTo;

Bytes status(uint16_t state) {
  return lc::test::frame(0, lc::test::statusPayload(state, 1, 7, 918, 128, 60, 8));
}

Bytes header(uint16_t type, uint16_t length) {
  return {uint8_t(type), uint8_t(type >> 8), uint8_t(length), uint8_t(length >> 8)};
}

// Resets the connection instead of closing it in order.
void reset(FakeRelay& relay) {
  linger hard{1, 0};
  setsockopt(relay.client(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  relay.closeClient();
}

TEST(LinkFaults, EachEndsTheLinkOnceWithinTheReadBound) {
  struct Case {
    const char* name;
    Bytes tail;                           // sent after one whole status frame
    std::function<void(FakeRelay&)> end;  // then, or nothing: silence
    bool silent;                          // ends only on the read bound
  };
  const Bytes big = lc::test::frame(1, Bytes(3000, 0x33));
  const Case cases[] = {
      {"close mid-header", {0, 0}, &FakeRelay::closeClient, false},
      {"close mid-payload", Bytes(big.begin(), big.begin() + 1500), &FakeRelay::closeClient, false},
      {"close after a header alone", header(2, 100), &FakeRelay::closeClient, false},
      {"reset", {}, reset, false},
      {"reset mid-payload", Bytes(big.begin(), big.begin() + 2000), reset, false},
      {"65535 bytes announced, then silence", header(2, 65535), nullptr, true},
      {"half a header, then silence", {1}, nullptr, true},
      {"a payload cut short, then silence", Bytes(big.begin(), big.begin() + 10), nullptr, true},
  };
  TcpipDriver::Timing timing;
  timing.connectSeconds = 2;
  timing.readSeconds = 1;

  const Held before = baseline();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRelay relay;
    auto driver = std::make_unique<TcpipDriver>("127.0.0.1", relay.port(), "test", timing);
    lc::test::EventRecorder events;
    Communication link;
    ASSERT_TRUE(link.setDriver(driver.get()));
    link.addEventListener(events);
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(relay.accept());
    ASSERT_TRUE(relay.send(status(5)));
    ASSERT_TRUE(events.waitFor(1));
    if (!c.tail.empty()) {
      ASSERT_TRUE(relay.send(c.tail));
    }
    const auto t0 = Clock::now();
    if (c.end) c.end(relay);

    ASSERT_TRUE(events.waitFor(2, 3s));
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (c.silent) {
      EXPECT_GE(s, 0.9);
      EXPECT_LT(s, 2.5);
    } else {
      EXPECT_LT(s, 0.8);
    }
    link.join();
    EXPECT_FALSE(link.running());
    const auto got = events.events();
    ASSERT_EQ(got.size(), 2u);  // the status, then the one Closed
    EXPECT_EQ(got[0].kind, Event::Status);
    EXPECT_EQ(got[0].state, 5);
    EXPECT_EQ(got[1].kind, Event::Closed);
    EXPECT_EQ(link.lastState(), 5u);
    link.removeEventListener(events);
  }
  const Held after = settleTo(before);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
}

// Start and stop one link many times, each run on a new driver as the
// script side does: nothing may pile up.
TEST(LinkFaults, ManyRunsLeaveNoDescriptorOrThread) {
  TcpipDriver::Timing timing;
  timing.connectSeconds = 2;
  timing.readSeconds = 1;
  FakeRelay relay;
  Communication link;
  lc::test::EventRecorder events;
  link.addEventListener(events);
  const Held before = baseline();
  for (int i = 0; i < 300; ++i) {
    auto driver = std::make_unique<TcpipDriver>("127.0.0.1", relay.port(), "test", timing);
    ASSERT_TRUE(link.setDriver(driver.get()));
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(relay.accept());
    ASSERT_TRUE(relay.send(status(uint16_t(i))));
    ASSERT_TRUE(events.waitFor(size_t(2 * i + 1)));
    if (i % 2 == 0) {
      link.stopAndWait();
    } else {
      relay.closeClient();
      ASSERT_TRUE(events.waitFor(size_t(2 * i + 2)));
      link.join();
    }
    relay.closeClient();
    ASSERT_TRUE(link.setDriver(nullptr));
  }
  link.removeEventListener(events);
  EXPECT_EQ(events.count(Event::Closed), 300u);
  const Held after = settleTo(before);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
}

}  // namespace
