#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

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

// Every field an event carries, compared as the listener hands it back: the
// payload up to its length and every status field.
void expectSameEvent(const Event& got, const Event& want) {
  ASSERT_EQ(got.kind, want.kind);
  ASSERT_EQ(got.typeOne, want.typeOne);
  ASSERT_EQ(got.length, want.length);
  ASSERT_EQ(got.state, want.state);
  ASSERT_EQ(got.pace, want.pace);
  ASSERT_EQ(got.version, want.version);
  ASSERT_EQ(got.packetSize, want.packetSize);
  ASSERT_EQ(got.aux1, want.aux1);
  ASSERT_EQ(got.aux2, want.aux2);
  ASSERT_EQ(got.flags, want.flags);
  if (want.kind == Event::Data) {
    ASSERT_EQ(0, std::memcmp(got.data, want.data, want.length));
  }
}

Event randomEvent(std::mt19937& rng) {
  Event e;
  const unsigned pick = rng() % 10;
  if (pick == 0) {
    e.setClosed();
  } else if (pick < 4) {
    unsigned char status[18];
    for (auto& b : status) b = uint8_t(rng());
    e.setStatus(status, rng() % 19);
  } else {
    // Mostly small payloads, sometimes full ones, so entries of every size
    // meet at the ring's end.
    const unsigned sizes[] = {0, 1, 7, 8, 9, 18, 917, Event::kMaxData};
    const unsigned length = rng() % 3 ? sizes[rng() % 8] : rng() % (Event::kMaxData + 1);
    std::vector<unsigned char> payload(length);
    for (auto& b : payload) b = uint8_t(rng());
    e.setData(rng() % 2, payload.data(), length);
  }
  return e;
}

TEST(EventListener, EventsOfEverySizeComeBackWholeAcrossWrapsAndGrowth) {
  std::mt19937 rng(7);
  EventListener listener;
  std::deque<Event> model;
  Event got;
  // Bursts of pushes and takes of random lengths move the ends around the
  // ring, wrap it with entries of every size, and grow it several times.
  for (int round = 0; round < 3000; ++round) {
    const unsigned pushes = rng() % (round % 500 < 250 ? 12 : 4);
    for (unsigned i = 0; i < pushes; ++i) {
      model.push_back(randomEvent(rng));
      if (rng() % 2) {
        listener.addEvent(model.back());
      } else {
        listener.addBatchedEvent(model.back());
      }
    }
    listener.flushEvents();
    const unsigned takes = rng() % 8;
    for (unsigned i = 0; i < takes && !model.empty(); ++i) {
      ASSERT_EQ(listener.waitEvent(got, 1000), EventListener::Taken);
      expectSameEvent(got, model.front());
      model.pop_front();
    }
    ASSERT_EQ(listener.queued(), model.size());
  }
  while (!model.empty()) {
    ASSERT_EQ(listener.waitEvent(got, 1000), EventListener::Taken);
    expectSameEvent(got, model.front());
    model.pop_front();
  }
  EXPECT_EQ(listener.dropped(), 0u);
}

TEST(EventListener, AFloodDropsTheOldestDataButNeverAClosed) {
  EventListener listener;
  Event full;
  std::vector<unsigned char> payload(Event::kMaxData);
  const long perRing = long(EventListener::kMaxQueuedBytes / (Event::kMaxData + 32));
  listener.closeEvent();  // oldest of all: pushed out by the flood, still kept
  for (long i = 0; i < 3 * perRing; ++i) {
    std::memcpy(payload.data(), &i, sizeof i);
    full.setData(true, payload.data(), Event::kMaxData);
    listener.addEvent(full);
    if (i == perRing / 2) listener.closeEvent();
  }
  EXPECT_GT(listener.dropped(), uint64_t(perRing));
  const size_t queued = listener.queued();
  EXPECT_LE(queued, size_t(perRing) * 11 / 10);

  // Both Closed events first, in their order, then the newest data, in order.
  Event e;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(listener.waitEvent(e, 1000), EventListener::Taken);
    EXPECT_EQ(e.kind, Event::Closed);
  }
  long previous = -1;
  for (size_t i = 2; i < queued; ++i) {
    ASSERT_EQ(listener.waitEvent(e, 1000), EventListener::Taken);
    ASSERT_EQ(e.kind, Event::Data);
    long n;
    std::memcpy(&n, e.data, sizeof n);
    if (previous >= 0) {
      ASSERT_EQ(n, previous + 1);
    }
    previous = n;
  }
  EXPECT_EQ(previous, 3 * perRing - 1);
  EXPECT_EQ(listener.queued(), 0u);
}

TEST(EventListener, ABatchWakesTheReaderWhenItEnds) {
  EventListener listener;
  std::atomic<unsigned> result{99};
  Event got;
  std::thread reader([&] { result = listener.waitEvent(got, 0); });
  // The batch is flushed until the reader has it: a flush before the reader
  // waits finds nobody to wake, and the reader then takes the event at once.
  listener.addBatchedEvent(dataEvent(7));
  for (int i = 0; i < 500 && result == 99u; ++i) {
    std::this_thread::sleep_for(10ms);
    listener.flushEvents();
  }
  reader.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_EQ(got.data[0], 7);

  // A timed wait whose events were queued but never announced takes them
  // when its time is up rather than reporting a time-out.
  std::thread late([&] { result = listener.waitEvent(got, 300); });
  std::this_thread::sleep_for(50ms);
  listener.addBatchedEvent(dataEvent(8));
  late.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_EQ(got.data[0], 8);
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
