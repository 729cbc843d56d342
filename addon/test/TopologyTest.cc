#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TopologyFixtures.h"
#include "topology/Topology.h"

namespace lc {
namespace {

using test::join;

// Writes every visitor call as a short line: "+3" enter root, "-3" quit
// root, "+0>5" enter 5 from 0, "-0>5" quit 5.
class RecordingVisitor : public GraphVisitor {
 public:
  void enter(const Module& m) override { calls.push_back("+" + std::to_string(m.id())); }
  void quit(const Module& m) override { calls.push_back("-" + std::to_string(m.id())); }
  void enter(const Module& p, const Module& m) override { calls.push_back("+" + edge(p, m)); }
  void quit(const Module& p, const Module& m) override { calls.push_back("-" + edge(p, m)); }
  std::vector<std::string> calls;

 private:
  static std::string edge(const Module& p, const Module& m) {
    return std::to_string(p.id()) + ">" + std::to_string(m.id());
  }
};

std::vector<std::string> walk(const Topology& topology, std::uint32_t root = 0) {
  RecordingVisitor visitor;
  topology.visitAll(visitor, root);
  return visitor.calls;
}

TEST(TopologyTest, ModuleKeepsTheFirstLinkOnAChannel) {
  Module a(TypeQuadra, 1), b(TypeQuadra, 2), c(TypeQuadra, 3);
  EXPECT_TRUE(a.addNeighbour(b, 2, true));
  EXPECT_FALSE(a.addNeighbour(c, 2, false));
  EXPECT_EQ(a.neighbour(2), &b);
  EXPECT_EQ(a.links(), std::vector<std::uint32_t>{2});
  EXPECT_EQ(a.facingChannel(2), 2u);
  EXPECT_EQ(a.facingChannel(3), 4u);  // not joined: one past the last channel
  EXPECT_EQ(a.facingChannel(b), 2u);
  EXPECT_EQ(a.facingChannel(c), 4u);
}

TEST(TopologyTest, ChannelsAModuleDoesNotHaveAreDropped) {
  Topology t;
  t.newModule(TypeQuadra, 1);
  t.newModule(TypeUnknown, 2);
  t.addNeighbour(1, 4, TypeQuadra, 3, false);
  t.addNeighbour(1, 1000, TypeQuadra, 3, false);
  t.addNeighbour(1, 3, TypeQuadra, 3, false);
  t.addNeighbour(2, 0, TypeQuadra, 3, false);
  EXPECT_EQ(t.find(1)->links(), std::vector<std::uint32_t>{3});
  EXPECT_TRUE(t.find(2)->links().empty());
  EXPECT_EQ(t.find(2)->channelCount(), 0u);
  EXPECT_EQ(t.find(1)->neighbour(4), nullptr);
}

TEST(TopologyTest, AddNeighbourCreatesTheNeighbourAndItsParent) {
  Topology t;
  t.newModule(TypeQuadra, 5);
  t.addNeighbour(5, 1, TypeQuadraV2, 9, true);
  const Module* nine = t.find(9);
  ASSERT_NE(nine, nullptr);
  EXPECT_EQ(nine->type(), TypeQuadraV2);
  EXPECT_EQ(nine->parent(), t.find(5));
  EXPECT_EQ(t.find(5)->neighbour(1), nine);
  EXPECT_TRUE(nine->links().empty());

  // An unknown source adds nothing; an existing module keeps its type.
  t.addNeighbour(6, 0, TypeQuadra, 7, true);
  EXPECT_FALSE(t.contains(6));
  EXPECT_FALSE(t.contains(7));
  t.newModule(TypeDelta, 9);
  t.addNeighbour(5, 2, TypeDelta, 9, false);
  EXPECT_EQ(t.find(9)->type(), TypeQuadraV2);
  // The parent is set even when the channel is taken already.
  t.newModule(TypeQuadra, 8);
  t.addNeighbour(8, 1, TypeQuadra, 9, true);
  t.addNeighbour(8, 1, TypeQuadra, 5, true);
  EXPECT_EQ(t.find(5)->parent(), t.find(8));
  EXPECT_EQ(t.find(8)->neighbour(1), t.find(9));
}

TEST(TopologyTest, WalkFollowsLinkOrderNotChannelOrIdOrder) {
  Topology t;
  t.newModule(TypeRelay, 0);
  t.newModule(TypeQuadra, 1);
  t.newModule(TypeQuadra, 2);
  t.addNeighbour(0, 0, TypeQuadra, 2, true);  // the relay has one channel
  join(t, 2, 3, 3, 1, TypeQuadra);
  join(t, 2, 0, 1, 2, TypeQuadra);
  t.addNeighbour(2, 1, TypeRelay, 0, false);
  t.newModule(TypeQuadra, 4);  // never joined: never entered
  EXPECT_EQ(walk(t),
            (std::vector<std::string>{"+0", "+0>2", "+2>3", "-2>3", "+2>1", "-2>1", "-0>2", "-0"}));
}

TEST(TopologyTest, RingOfFourTilesEntersEachTileOnceFromWhereTheWalkArrived) {
  Topology t;
  t.newModule(TypeRelay, 0);
  join(t, 0, 0, 1, 0, TypeQuadra);
  join(t, 1, 1, 2, 3, TypeQuadra);
  join(t, 2, 2, 3, 0, TypeQuadra);
  join(t, 3, 3, 4, 1, TypeQuadra);
  join(t, 4, 0, 1, 2, TypeQuadra);  // closes the ring
  EXPECT_EQ(walk(t), (std::vector<std::string>{"+0", "+0>1", "+1>2", "+2>3", "+3>4", "-3>4", "-2>3",
                                               "-1>2", "-0>1", "-0"}));
  // From another root, the walk runs the ring the other way round.
  EXPECT_EQ(walk(t, 4).at(1), "+4>3");
}

TEST(TopologyTest, MissingRootThrowsOutOfRange) {
  Topology t;
  t.newModule(TypeQuadra, 1);
  RecordingVisitor visitor;
  try {
    t.visitAll(visitor, 0);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "map::at:  key not found");
  }
  EXPECT_TRUE(visitor.calls.empty());
}

TEST(TopologyTest, LongChainDoesNotExhaustTheStack) {
  Topology t;
  t.newModule(TypeRelay, 0);
  join(t, 0, 0, 1, 0, TypeQuadra);
  const std::uint32_t n = 200000;
  for (std::uint32_t id = 1; id < n; ++id) join(t, id, 1, id + 1, 3, TypeQuadra);
  struct Counter : GraphVisitor {
    void enter(const Module&) override {}
    void enter(const Module&, const Module&) override { ++entered; }
    std::uint32_t entered = 0;
  } counter;
  t.visitAll(counter, 0);
  EXPECT_EQ(counter.entered, n);
}

TEST(TopologyTest, CopiesPointIntoTheirOwnModules) {
  Topology t;
  t.newModule(TypeRelay, 0);
  join(t, 0, 0, 1, 0, TypeDelta);
  join(t, 1, 5, 2, 5, TypeDelta);
  Topology copy(t);
  t.clear();
  ASSERT_EQ(copy.size(), 3u);
  const Module* one = copy.find(1);
  EXPECT_EQ(one->neighbour(5), copy.find(2));
  EXPECT_EQ(copy.find(2)->parent(), one);
  EXPECT_EQ(one->links(), (std::vector<std::uint32_t>{0, 5}));
  EXPECT_EQ(walk(copy), (std::vector<std::string>{"+0", "+0>1", "+1>2", "-1>2", "-0>1", "-0"}));

  Topology moved(std::move(copy));
  EXPECT_EQ(moved.find(1)->neighbour(5), moved.find(2));
}

// What is kept beside a revision is stale exactly when the revision moved:
// every way the graph changes moves it, to a value no topology held before.
TEST(TopologyTest, EveryChangeTakesARevisionNoTopologyHeldBefore) {
  std::set<std::uint64_t> seen;
  auto fresh = [&](const Topology& t) { return seen.insert(t.revision()).second; };
  Topology t;
  EXPECT_TRUE(fresh(t));
  t.newModule(TypeRelay, 0);
  EXPECT_TRUE(fresh(t));
  const std::uint64_t before = t.revision();
  t.newModule(TypeQuadra, 0);                 // already there
  t.addNeighbour(9, 0, TypeQuadra, 1, true);  // no module 9
  EXPECT_EQ(t.revision(), before);
  t.addNeighbour(0, 0, TypeQuadra, 1, true);
  EXPECT_TRUE(fresh(t));
  ASSERT_TRUE(t.fromJSON(R"([{"id":1,"type":4,"neighbours":[{"channel":0,"id":0,"child":0}]}])"));
  EXPECT_TRUE(fresh(t));

  Topology other;
  EXPECT_TRUE(fresh(other));
  other = t;
  EXPECT_TRUE(fresh(other));
  Topology moved(std::move(other));
  EXPECT_TRUE(fresh(moved));
  EXPECT_TRUE(fresh(other));  // emptied
  other = std::move(moved);
  EXPECT_TRUE(fresh(other));
  EXPECT_TRUE(fresh(moved));
  const Topology copy(t);
  EXPECT_TRUE(fresh(copy));
  t.clear();
  EXPECT_TRUE(fresh(t));
}

// Walks index per-module tables by slot, so the slots of a topology must be
// 0 to size() - 1, each once, however its modules came to be.
TEST(TopologyTest, SlotsNumberTheModulesDensely) {
  auto slotsOf = [](const Topology& t) {
    std::vector<std::uint32_t> slots;
    for (const auto& entry : t.modules()) slots.push_back(entry.second.slot());
    std::sort(slots.begin(), slots.end());
    return slots;
  };
  auto dense = [](std::size_t n) {
    std::vector<std::uint32_t> slots(n);
    for (std::uint32_t i = 0; i < n; ++i) slots[i] = i;
    return slots;
  };
  Topology t;
  t.newModule(TypeRelay, 40);
  t.newModule(TypeQuadra, 40);                 // already there: no new slot
  t.addNeighbour(40, 0, TypeQuadra, 7, true);  // creates 7
  t.addNeighbour(7, 3, TypeRelay, 40, false);  // 40 exists
  t.addNeighbour(99, 0, TypeQuadra, 8, true);  // no module 99: nothing
  t.newModule(TypeDelta, 0);
  t.addNeighbour(0, 0, TypeDelta, 0xffffffffu, true);
  EXPECT_EQ(slotsOf(t), dense(4));

  const Topology copy(t);
  EXPECT_EQ(slotsOf(copy), dense(4));
  EXPECT_EQ(copy.find(7)->slot(), t.find(7)->slot());

  t.clear();
  t.newModule(TypeRelay, 5);
  EXPECT_EQ(t.find(5)->slot(), 0u);
}

TEST(TopologyTest, LinearVisitGoesInIdOrder) {
  Topology t;
  for (std::uint32_t id : {7u, 0u, 3u}) t.newModule(TypeQuadra, id);
  struct Ids : LinearVisitor {
    void visit(const Module& m) override { ids.push_back(m.id()); }
    std::vector<std::uint32_t> ids;
  } ids;
  t.visitLinear(ids);
  EXPECT_EQ(ids.ids, (std::vector<std::uint32_t>{0, 3, 7}));
}

}  // namespace
}  // namespace lc
