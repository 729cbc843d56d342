// The custom application channel against a link fed by a scripted driver.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "commands/CustomApp.h"
#include "link/Communication.h"
#include "support/ScriptedDriver.h"

namespace {

using namespace std::chrono_literals;
using lc::CustomApp;
using lc::test::frame;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + seed);
  return b;
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes status() { return frame(0, lc::test::statusPayload(1, 1, 0, 918, 128, 60, 8)); }

// A running link on a scripted driver, a channel on it, and the worker loop
// on a thread of its own that keeps every concast.
struct Channel {
  explicit Channel(unsigned waitMs = 400) : app(link, CustomApp::Timing{waitMs}) {
    link.setDriver(&driver);
    linked = link.start();
  }
  ~Channel() {
    app.stop();
    if (worker.joinable()) worker.join();
    link.stopAndWait();
  }

  // The worker loop; the concasts the link queued meanwhile are taken after
  // each step, as a script's drains would.
  void runWorker() {
    worker = std::thread([this] {
      while (app.run()) takeConcasts();
      takeConcasts();
      ended = Clock::now();
      done.store(true);
    });
  }

  void takeConcasts() {
    app.concasts().take(batch);
    std::lock_guard<std::mutex> lock(mutex);
    batch.forEach([&](const unsigned char* b, uint32_t n) { concasts.emplace_back(b, b + n); });
  }

  bool waitWritten(size_t size, std::chrono::milliseconds limit = 2s) {
    auto deadline = Clock::now() + limit;
    while (driver.written().size() < size) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  bool waitDone(std::chrono::milliseconds limit = 3s) {
    auto deadline = Clock::now() + limit;
    while (!done.load()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    worker.join();
    return true;
  }

  std::vector<Bytes> received() {
    std::lock_guard<std::mutex> lock(mutex);
    return concasts;
  }

  lc::test::ScriptedDriver driver;
  lc::Communication link;
  CustomApp app;
  bool linked = false;
  std::thread worker;
  std::mutex mutex;
  std::vector<Bytes> concasts;
  lc::ConcastQueue::Batch batch;
  std::atomic<bool> done{false};
  Clock::time_point ended;
};

TEST(CustomAppTest, EachStatusCarriesAtMostOneMessageOfEachKind) {
  const Bytes start = frame(2, {});
  const Bytes big = pattern(3000, 1);
  const Bytes large = pattern(1500, 2);
  struct Case {
    const char* name;
    std::vector<Bytes> broadcasts;
    std::vector<Bytes> data;
    int statuses;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"nothing queued: the start frame once", {}, {}, 3, start},
      {"two broadcasts and one data message over two statuses",
       {{1, 2, 3}, {4, 5}},
       {{9, 9}},
       2,
       concat({start, frame(0, {1, 2, 3}), frame(3, {9, 9}), frame(0, {4, 5})})},
      {"messages cut to their buffers",
       {big},
       {large},
       1,
       concat({start, frame(0, Bytes(big.begin(), big.begin() + 2048)),
               frame(3, Bytes(large.begin(), large.begin() + 1024))})},
      {"data messages one per status, in order",
       {},
       {{1}, {2}, {3}},
       2,
       concat({start, frame(3, {1}), frame(3, {2})})},
      {"an empty message is an empty frame", {{}}, {}, 1, concat({start, frame(0, {})})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Channel ch;
    ASSERT_TRUE(ch.linked);
    ASSERT_TRUE(ch.app.start());
    for (const Bytes& b : c.broadcasts) ch.app.sendBroadcast(b.data(), unsigned(b.size()));
    for (const Bytes& d : c.data) ch.app.sendData(d.data(), unsigned(d.size()));
    ch.runWorker();
    // All at once: each status is its own event, handled in turn.
    for (int i = 0; i < c.statuses; ++i) ch.driver.feed(status());
    ASSERT_TRUE(ch.waitWritten(c.expected.size()));
    std::this_thread::sleep_for(20ms);  // nothing more may follow
    EXPECT_EQ(ch.driver.written(), c.expected);
  }
}

TEST(CustomAppTest, RunEnds) {
  struct Case {
    const char* name;
    void (*end)(Channel&);
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds atMost;
  };
  const std::vector<Case> cases = {
      {"stop right after start", [](Channel& c) { c.app.stop(); }, 0ms, 150ms},
      {"silence from the relay", [](Channel&) {}, 350ms, 1000ms},
      {"the link ends", [](Channel& c) { c.driver.peerClose(); }, 0ms, 150ms},
      {"the start frame cannot be written",
       [](Channel& c) {
         c.driver.setWriteResult(false);
         c.driver.feed(status());
       },
       0ms, 150ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Channel ch(400);
    ASSERT_TRUE(ch.linked);
    ASSERT_TRUE(ch.app.start());
    EXPECT_TRUE(ch.app.active());
    const auto began = Clock::now();
    c.end(ch);
    ch.runWorker();
    ASSERT_TRUE(ch.waitDone());
    const auto took = ch.ended - began;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LE(took, c.atMost);
    EXPECT_FALSE(ch.app.active());
    // The listener is gone: a later status is not queued anywhere, and the
    // object can be started again.
    EXPECT_TRUE(ch.app.start());
    ch.app.stop();
    ch.done.store(false);
    ch.runWorker();
    ASSERT_TRUE(ch.waitDone());
  }
}

TEST(CustomAppTest, AFailedSendKeepsTheMessageUntilTheNextStart) {
  Channel ch;
  ASSERT_TRUE(ch.linked);
  ASSERT_TRUE(ch.app.start());
  const Bytes message{5, 6};
  ch.app.sendBroadcast(message.data(), 2);
  ch.runWorker();
  ch.driver.feed(status());
  ASSERT_TRUE(ch.waitWritten(frame(2, {}).size() + frame(0, message).size()));
  ch.app.sendBroadcast(message.data(), 2);
  ch.driver.setWriteResult(false);
  ch.driver.feed(status());
  ASSERT_TRUE(ch.waitDone());
  EXPECT_EQ(ch.app.queuedBroadcasts(), 1u);
  ASSERT_TRUE(ch.app.start());
  EXPECT_EQ(ch.app.queuedBroadcasts(), 0u);
}

TEST(CustomAppTest, DataFramesAloneKeepARunGoingAndArriveInOrder) {
  Channel ch(300);
  ASSERT_TRUE(ch.linked);
  ASSERT_TRUE(ch.app.start());
  ch.runWorker();
  // Twice the silence bound, with a data frame every 100 ms and no status.
  std::vector<Bytes> sent;
  for (unsigned i = 0; i < 6; ++i) {
    sent.push_back(pattern(i == 5 ? 300 : i * 10, i));
    ch.driver.feed(frame(i % 2 ? 1 : 2, sent.back()));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(ch.done.load());
  const auto last = Clock::now() - 100ms;
  ASSERT_TRUE(ch.waitDone());
  EXPECT_GE(ch.ended - last, 300ms);
  sent.back().resize(CustomApp::kConcastSize);
  EXPECT_EQ(ch.received(), sent);
}

// The queue between the receive loop and the script, driven as the link
// and the script's drains drive it.
struct DrainCounter : lc::ConcastQueue::Sink {
  void drainWanted() override { ++asked; }
  int asked = 0;
};

std::vector<Bytes> taken(lc::ConcastQueue& queue, size_t limit = SIZE_MAX, bool* more = nullptr) {
  lc::ConcastQueue::Batch batch;
  const bool left = queue.take(batch, limit);
  if (more != nullptr) *more = left;
  std::vector<Bytes> out;
  size_t bytes = 0;
  batch.forEach([&](const unsigned char* b, uint32_t n) {
    out.emplace_back(b, b + n);
    bytes += n;
  });
  EXPECT_EQ(batch.count(), out.size());
  EXPECT_EQ(batch.payloadBytes(), bytes);
  return out;
}

TEST(CustomAppTest, ConcastQueueAsksForOneDrainPerIdleQueue) {
  lc::ConcastQueue queue;
  DrainCounter sink;
  const Bytes a = pattern(10, 1), b = pattern(0, 2), c = pattern(400, 3);
  // Records of a read before any sink: kept, and asked for once one comes.
  queue.add(a.data(), uint32_t(a.size()));
  queue.flush();
  queue.setSink(&sink);
  EXPECT_EQ(sink.asked, 1);
  // More reads before the drain: no other request.
  queue.add(b.data(), 0);
  queue.add(c.data(), uint32_t(c.size()));
  queue.flush();
  queue.flush();
  EXPECT_EQ(sink.asked, 1);
  EXPECT_EQ(taken(queue), (std::vector<Bytes>{a, b, Bytes(c.begin(), c.begin() + 256)}));
  EXPECT_TRUE(taken(queue).empty());
  // Idle again: the next read asks, an empty one does not.
  queue.flush();
  EXPECT_EQ(sink.asked, 1);
  queue.add(a.data(), uint32_t(a.size()));
  queue.flush();
  EXPECT_EQ(sink.asked, 2);
  queue.setSink(nullptr);
  queue.clear();
  EXPECT_TRUE(taken(queue).empty());
}

TEST(CustomAppTest, ConcastQueueLosesTheOldestPastItsBound) {
  lc::ConcastQueue queue;
  // Records of 16 bytes cost 20 of the bound; a read holds up to 64 KiB.
  const size_t perRead = 3000;
  const size_t fit = lc::ConcastQueue::kMaxQueuedBytes / 20;
  const size_t total = fit * 3 + 7;  // past the bound, and past its slack
  uint32_t next = 0;
  while (next < total) {
    for (size_t i = 0; i < perRead && next < total; ++i, ++next) {
      unsigned char record[16] = {};
      std::memcpy(record, &next, sizeof next);
      queue.add(record, sizeof record);
    }
    queue.flush();
  }
  EXPECT_EQ(queue.dropped(), total - fit);
  // Taken in pieces: the oldest first, the drain asked for staying asked
  // until the last piece, then asked again by the next read.
  DrainCounter sink;
  queue.setSink(&sink);
  EXPECT_EQ(sink.asked, 1);
  bool more = false;
  std::vector<Bytes> kept = taken(queue, 100000, &more);
  ASSERT_TRUE(more);
  ASSERT_EQ(kept.size(), 100000u);
  // A read meanwhile asks for nothing: the drain asked for is still to come.
  unsigned char record[16] = {};
  std::memcpy(record, &next, sizeof next);
  queue.add(record, sizeof record);
  queue.flush();
  EXPECT_EQ(sink.asked, 1);
  while (more) {
    const std::vector<Bytes> piece = taken(queue, 100000, &more);
    kept.insert(kept.end(), piece.begin(), piece.end());
  }
  queue.add(record, sizeof record);
  queue.flush();
  EXPECT_EQ(sink.asked, 2);
  queue.setSink(nullptr);
  ASSERT_EQ(kept.size(), fit + 1);
  for (size_t i = 0; i < kept.size(); ++i) {
    uint32_t id;
    std::memcpy(&id, kept[i].data(), sizeof id);
    ASSERT_EQ(id, total - fit + i);
  }
  queue.clear();
  EXPECT_EQ(queue.dropped(), 0u);
}

}  // namespace
