#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/Communication.h"
#include "link/EventListener.h"
#include "support/ScriptedDriver.h"

namespace {

using namespace std::chrono_literals;
using lc::Event;
using lc::EventListener;
using Clock = std::chrono::steady_clock;

Event dataEvent(unsigned char marker) {
  Event e;
  e.setData(true, &marker, 1);
  return e;
}

long msSince(Clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST(EventListener, QueuedEventsComeAtOnceInArrivalOrder) {
  EventListener listener;
  // Enough to wrap and grow the ring: take some first, then add many.
  for (int i = 0; i < 5; ++i) listener.addEvent(dataEvent(uint8_t(i)));
  Event e;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(listener.waitEvent(e, 5000), 0u);
    EXPECT_EQ(e.data[0], i);
  }
  for (int i = 5; i < 40; ++i) listener.addEvent(dataEvent(uint8_t(i)));
  auto t0 = Clock::now();
  for (int i = 3; i < 40; ++i) {
    ASSERT_EQ(listener.waitEvent(e, 5000), 0u);
    EXPECT_EQ(e.data[0], i);
  }
  EXPECT_LT(msSince(t0), 500);
  EXPECT_EQ(listener.queued(), 0u);
}

TEST(EventListener, TimedWaitWithoutEventsTimesOut) {
  EventListener listener;
  Event e;
  auto t0 = Clock::now();
  EXPECT_EQ(listener.waitEvent(e, 300), 1u);
  long elapsed = msSince(t0);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 1500);
}

TEST(EventListener, CloseEventWakesAnUnlimitedWait) {
  EventListener listener;
  Event e;
  e.setData(true, nullptr, 0);
  std::thread closer([&] {
    std::this_thread::sleep_for(50ms);
    listener.closeEvent();
  });
  EXPECT_EQ(listener.waitEvent(e, 0), 0u);
  EXPECT_EQ(e.kind, Event::Closed);
  closer.join();
}

TEST(EventListener, EventArrivingDuringATimedWaitIsTaken) {
  EventListener listener;
  std::thread sender([&] {
    std::this_thread::sleep_for(50ms);
    listener.addEvent(dataEvent(42));
  });
  Event e;
  auto t0 = Clock::now();
  EXPECT_EQ(listener.waitEvent(e, 5000), 0u);
  EXPECT_EQ(e.data[0], 42);
  EXPECT_LT(msSince(t0), 2000);
  sender.join();
}

TEST(EventListener, ClearEventsDropsTheQueueAndWakesAWaiter) {
  EventListener listener;
  listener.addEvent(dataEvent(1));
  listener.addEvent(dataEvent(2));
  listener.clearEvents();
  Event e;
  EXPECT_EQ(listener.waitEvent(e, 100), 1u);

  // A waiter woken by clearEvents with nothing queued is told so (2).
  std::atomic<unsigned> result{99};
  std::thread waiter([&] {
    Event w;
    result = listener.waitEvent(w, 0);
  });
  // Wake it only once it waits; a clear before that would just be lost.
  for (int i = 0; i < 500 && result == 99u; ++i) {
    std::this_thread::sleep_for(10ms);
    listener.clearEvents();
  }
  waiter.join();
  EXPECT_EQ(result.load(), 2u);
}

TEST(EventListener, RegistrationFollowsTheLink) {
  lc::test::ScriptedDriver driverA;
  lc::test::ScriptedDriver driverB;
  lc::Communication linkA;
  lc::Communication linkB;
  linkA.setDriver(&driverA);
  linkB.setDriver(&driverB);
  {
    EventListener listener(linkA);
    listener.setCommunication(linkA);  // still one registration
    ASSERT_TRUE(linkA.start());
    driverA.feed(lc::test::frame(0, {3, 0, 0, 0}));
    Event e;
    ASSERT_EQ(listener.waitEvent(e, 2000), 0u);
    EXPECT_EQ(e.state, 3);
    ASSERT_TRUE(driverA.waitDrained(1s));
    EXPECT_EQ(listener.waitEvent(e, 50), 1u);  // not delivered twice

    listener.setCommunication(linkB);
    ASSERT_TRUE(linkB.start());
    driverA.feed(lc::test::frame(0, {4, 0, 0, 0}));
    driverB.feed(lc::test::frame(0, {5, 0, 0, 0}));
    ASSERT_EQ(listener.waitEvent(e, 2000), 0u);
    EXPECT_EQ(e.state, 5);
    ASSERT_TRUE(driverA.waitDrained(1s));
    EXPECT_EQ(listener.waitEvent(e, 50), 1u);
  }
  // Destroyed listener is unregistered: ending the link reaches nobody.
  linkB.stopAndWait();
  linkA.stopAndWait();
}

}  // namespace
