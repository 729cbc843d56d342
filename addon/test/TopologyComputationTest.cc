// Decoding module records, and whole updates against a relay played by a
// test thread with the waits shortened.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "support/ScriptedRelay.h"
#include "topology/TopologyComputation.h"

namespace {

using namespace std::chrono_literals;
using lc::TopologyComputation;
using lc::test::Bytes;
using lc::test::LogCapture;
using lc::test::ScriptedRelay;
using Clock = std::chrono::steady_clock;

// A link on channel `channel`: kind 1 neighbour, 2 child.
struct Link {
  unsigned channel;
  uint16_t kind;
  uint16_t id;
};

// One record of `m` channels.
Bytes record(uint16_t total, uint16_t id, std::vector<Link> links = {}, unsigned m = 4) {
  std::vector<uint16_t> words(2 + 2 * m, 0);
  words[0] = total;
  words[1] = id;
  for (const Link& l : links) {
    words[2 + l.channel] = l.kind;
    words[2 + m + l.channel] = l.id;
  }
  Bytes out;
  for (uint16_t w : words) {
    out.push_back(uint8_t(w));
    out.push_back(uint8_t(w >> 8));
  }
  return out;
}

Bytes join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A relay and two square tiles in a row: 0 -ch0-> 1 -ch1-> 2, each link
// listed in both records, the child side marked 2.
std::vector<Bytes> threeModules(uint16_t total = 3) {
  return {record(total, 0, {{0, 2, 1}}), record(total, 1, {{0, 1, 0}, {1, 2, 2}}),
          record(total, 2, {{3, 1, 1}})};
}

TEST(TopologyComputation, DecodesRecordPayloads) {
  struct Case {
    const char* name;
    std::vector<Bytes> payloads;
    bool done;
    uint32_t count;
    size_t modules;
  };
  auto cycle = threeModules();
  Bytes full = join({cycle[0], cycle[1], cycle[2], record(3, 0, {{0, 2, 1}})});
  const Case cases[] = {
      {"a whole cycle and the next start", {full}, true, 3, 3},
      {"the same cycle over three payloads",
       {join({cycle[0], cycle[1]}), cycle[2], record(3, 0)},
       true,
       3,
       3},
      {"a total above the count never completes",
       {join({threeModules(4)[0], threeModules(4)[1], threeModules(4)[2], record(4, 0)})},
       false,
       0,
       0},
      {"a payload that starts mid-cycle is dropped whole",
       {join({cycle[2], record(3, 0), cycle[1]})},
       false,
       0,
       0},
      {"then a payload from id 0 starts over", {join({cycle[2], record(3, 0)}), full}, true, 3, 3},
      {"total 0 ends a payload without touching the count",
       {join({cycle[0], cycle[1]}), join({record(0, 2), cycle[2]})},
       false,
       2,
       3},
      {"a gap restarts the attempt", {join({cycle[0], cycle[2]})}, false, 0, 0},
      {"shorter than a record: nothing",
       {Bytes(cycle[0].begin(), cycle[0].end() - 1)},
       false,
       0,
       0},
      {"bytes past the last whole record are ignored",
       {join({cycle[0], Bytes(7, 0xAB)})},
       false,
       1,
       2},
      // Out of range input is bounded before it is used.
      {"a neighbour beyond the total restarts",
       {join({record(3, 0, {{0, 2, 1}}), record(3, 1, {{2, 1, 40000}})})},
       false,
       0,
       0},
      {"a module linked to itself restarts",
       {join({cycle[0], record(3, 1, {{1, 1, 1}})})},
       false,
       0,
       0},
      {"the relay's missing channels are not read",
       {join({record(2, 0, {{0, 2, 1}, {1, 1, 60000}, {3, 2, 65535}}), record(2, 1, {{0, 1, 0}}),
              record(2, 0)})},
       true,
       2,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedRelay relay;
    TopologyComputation computation(relay.link);
    computation.prepare(lc::TypeRelay, lc::TypeQuadra);
    ASSERT_EQ(computation.recordSize(), 20u);
    for (const Bytes& p : c.payloads) computation.topologyInit(p.data(), uint32_t(p.size()));
    EXPECT_EQ(computation.done(), c.done);
    EXPECT_EQ(computation.count(), c.count);
    EXPECT_EQ(computation.topology().size(), c.modules);
  }
}

TEST(TopologyComputation, LinkKindsGiveParentsAndTheDocument) {
  LogCapture log;
  ScriptedRelay relay;
  TopologyComputation computation(relay.link);
  computation.prepare(lc::TypeRelay, lc::TypeQuadra);
  Bytes payload = join({record(2, 0, {{0, 2, 1}}), record(2, 1, {{0, 1, 0}}), record(2, 0)});
  computation.topologyInit(payload.data(), uint32_t(payload.size()));
  ASSERT_TRUE(computation.done());
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Topology computed."});
  const lc::Module* tile = computation.topology().find(1);
  ASSERT_NE(tile, nullptr);
  ASSERT_NE(tile->parent(), nullptr);
  EXPECT_EQ(tile->parent()->id(), 0u);
  EXPECT_EQ(tile->type(), lc::TypeQuadra);
  const std::string doc = computation.topology().getJSON();
  EXPECT_NE(doc.find("{\"channel\": 0, \"id\": 1, \"child\": 1}"), std::string::npos);
  EXPECT_NE(doc.find("{\"channel\": 0, \"id\": 0, \"child\": 0}"), std::string::npos);
  for (const std::string& row : computation.topology().getMatrix(0)) {
    EXPECT_EQ(row, "1");
  }
}

TEST(TopologyComputation, RecordSizesFollowTheTypes) {
  struct Case {
    lc::ModuleType relay;
    lc::ModuleType tile;
    uint32_t size;
  };
  for (const Case& c :
       {Case{lc::TypeRelay, lc::TypeDelta, 28}, Case{lc::TypeRelayRpi, lc::TypeVarna, 20},
        Case{lc::TypeUnknown, lc::TypeUnknown, 4}, Case{lc::TypeUnknown, lc::TypeQuadra, 20}}) {
    SCOPED_TRACE(int(c.tile));
    ScriptedRelay relay;
    TopologyComputation computation(relay.link);
    computation.prepare(c.relay, c.tile);
    EXPECT_EQ(computation.recordSize(), c.size);
  }
  // An unknown relay type has no channels, so module 0 gets no links.
  ScriptedRelay relay;
  TopologyComputation computation(relay.link);
  computation.prepare(lc::TypeUnknown, lc::TypeQuadra);
  Bytes payload = join({record(2, 0, {{0, 2, 1}}), record(2, 1, {{0, 1, 0}}), record(2, 0)});
  computation.topologyInit(payload.data(), uint32_t(payload.size()));
  ASSERT_TRUE(computation.done());
  EXPECT_TRUE(computation.topology().find(0)->links().empty());
}

TEST(TopologyComputation, AnyRecordStreamStaysInBounds) {
  // Random words, with ids and totals kept small often enough to build runs.
  std::mt19937 random(7);
  for (lc::ModuleType tile : {lc::TypeDelta, lc::TypeQuadra}) {
    ScriptedRelay relay;
    TopologyComputation computation(relay.link);
    computation.prepare(lc::TypeRelay, tile);
    for (int i = 0; i < 3000 && !computation.done(); ++i) {
      Bytes payload(random() % 200);
      for (size_t j = 0; j < payload.size(); ++j) {
        payload[j] = uint8_t(j % 2 == 1 && random() % 4 != 0 ? 0 : random() % 6);
      }
      computation.topologyInit(payload.data(), uint32_t(payload.size()));
      // Every module is one of the records of the run, or one they name
      // within the announced total.
      for (const auto& [id, module] : computation.topology().modules()) {
        EXPECT_LT(id, 65536u);
        for (uint32_t channel : module.links()) EXPECT_LT(channel, module.channelCount());
      }
    }
    if (computation.done()) {
      EXPECT_EQ(computation.topology().size(), computation.count());
    }
  }
}

TopologyComputation::Timing fast() {
  TopologyComputation::Timing t;
  t.waitMs = 250;
  t.limit = 600ms;
  return t;
}

long msSince(Clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST(TopologyComputation, Updates) {
  // How the relay behaves once it was asked (its reaction to the request).
  using Answer = std::function<void(ScriptedRelay&)>;
  auto cycleFrom = [](size_t first, uint16_t total) {
    return [first, total](ScriptedRelay& r) {
      auto c = threeModules(total);
      for (int n = 0; n < 3; ++n) {
        for (size_t i = 0; i < c.size(); ++i) r.send(lc::test::frame(1, c[(first + i) % c.size()]));
      }
    };
  };
  struct Case {
    const char* name;
    std::chrono::milliseconds period;  // of the status frames; 0 for none
    Answer answer;
    bool result;
    long minMs;
    long maxMs;
  };
  const Case cases[] = {
      {"a cycle that completes", 20ms, cycleFrom(0, 3), true, 0, 400},
      {"a cycle joined in its middle", 20ms, cycleFrom(2, 3), true, 0, 400},
      {"a total that never completes", 20ms, cycleFrom(0, 4), false, 600, 1200},
      {"unrelated events until the bound", 20ms, [](ScriptedRelay&) {}, false, 600, 1200},
      {"silence", 0ms, nullptr, false, 250, 550},
      {"the relay goes away", 20ms, [](ScriptedRelay& r) { r.driver.peerClose(); }, false, 0, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedRelay relay;
    relay.tick(c.period, [&](ScriptedRelay& r, const Bytes& f) {
      if (f == lc::test::frame(2, {}) && c.answer) c.answer(r);
    });
    TopologyComputation computation(relay.link, fast());
    auto start = Clock::now();
    EXPECT_EQ(computation.update(lc::TypeRelay, lc::TypeQuadra), c.result);
    long ms = msSince(start);
    EXPECT_GE(ms, c.minMs);
    EXPECT_LT(ms, c.maxMs);
    relay.stopTicking();
    // One request, whatever the number of status frames.
    EXPECT_EQ(relay.driver.written(), c.period.count() > 0 ? lc::test::frame(2, {}) : Bytes{});
    if (c.result) {
      EXPECT_EQ(computation.topology().size(), 3u);
    }
  }
}

TEST(TopologyComputation, AFailedRequestOrACancelEndsTheUpdate) {
  {
    ScriptedRelay relay;
    relay.driver.setWriteResult(false);
    relay.tick(20ms);
    auto start = Clock::now();
    EXPECT_FALSE(TopologyComputation(relay.link).update(lc::TypeRelay, lc::TypeQuadra));
    EXPECT_LT(msSince(start), 500);
  }
  {
    // The fixed waits: only the cancel ends the update early.
    ScriptedRelay relay;
    relay.tick(20ms);
    TopologyComputation computation(relay.link);
    auto pending = std::async(std::launch::async,
                              [&] { return computation.update(lc::TypeRelay, lc::TypeQuadra); });
    std::this_thread::sleep_for(100ms);
    auto start = Clock::now();
    computation.cancel();
    EXPECT_FALSE(pending.get());
    EXPECT_LT(msSince(start), 200);
  }
}

}  // namespace
