#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TopologyFixtures.h"
#include "topology/Topology.h"

namespace lc {
namespace {

using test::join;
using test::relayWithTile;

// Modules, types, links in order, and parents, as one comparable text.
std::string shape(const Topology& t) {
  std::string out;
  for (const auto& [id, m] : t.modules()) {
    out += std::to_string(id) + ":" + std::to_string(m.type());
    out += " p" + (m.parent() ? std::to_string(m.parent()->id()) : std::string("-"));
    for (std::uint32_t c : m.links()) {
      out += " " + std::to_string(c) + ">" + std::to_string(m.neighbour(c)->id());
    }
    out += "\n";
  }
  return out;
}

TEST(TopologyDocumentTest, RelayAloneIsWrittenExactly) {
  Topology t;
  t.newModule(TypeRelay, 0);
  EXPECT_EQ(
      t.getJSON(),
      "[\n\t{\n\t\t\"id\": 0,\n\t\t\"type\": 0,\n\t\t\"neighbours\":\n\t\t[\n\t\t]\n\t}\n]\n");
}

TEST(TopologyDocumentTest, RelayWithOneTileIsWrittenExactly) {
  Topology t = relayWithTile(TypeQuadra);
  EXPECT_EQ(t.getJSON(),
            "[\n\t{\n\t\t\"id\": 0,\n\t\t\"type\": 0,\n\t\t\"neighbours\":\n\t\t["
            "\n\t\t\t{\"channel\": 0, \"id\": 1, \"child\": 1}\n\t\t]\n\t},"
            "\n\t{\n\t\t\"id\": 1,\n\t\t\"type\": 4,\n\t\t\"neighbours\":\n\t\t["
            "\n\t\t\t{\"channel\": 0, \"id\": 0, \"child\": 0}\n\t\t]\n\t}\n]\n");
}

TEST(TopologyDocumentTest, DocumentListsReachableModulesInWalkOrder) {
  Topology t = relayWithTile(TypeDelta);
  join(t, 1, 4, 3, 2, TypeDelta);
  join(t, 1, 2, 2, 4, TypeDelta);
  t.newModule(TypeDelta, 9);  // unreachable: left out
  const std::string doc = t.getJSON();
  EXPECT_LT(doc.find("\"id\": 3,"), doc.find("\"id\": 2,"));
  EXPECT_EQ(doc.find("\"id\": 9"), std::string::npos);
  EXPECT_NE(doc.find("{\"channel\": 4, \"id\": 3, \"child\": 1},"
                     "\n\t\t\t{\"channel\": 2, \"id\": 2, \"child\": 1}"),
            std::string::npos);
}

TEST(TopologyDocumentTest, ReadingAWrittenDocumentRebuildsTheSameGraph) {
  Topology t = relayWithTile(TypeQuadraV2);
  join(t, 1, 3, 2, 1, TypeQuadraV2);
  join(t, 1, 1, 3, 3, TypeQuadraV2);
  join(t, 2, 2, 4, 0, TypeQuadraV2);
  join(t, 4, 1, 3, 2, TypeQuadraV2);  // closes a square; 3's parent becomes 4
  Topology back;
  ASSERT_TRUE(back.fromJSON(t.getJSON()));
  EXPECT_EQ(shape(back), shape(t));
  EXPECT_EQ(back.getJSON(), t.getJSON());
}

// `item` n times, separated by commas.
std::string repeated(const std::string& item, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += (i > 0 ? "," : "") + item;
  return text;
}

TEST(TopologyDocumentTest, MalformedDocumentsAreRefused) {
  struct Case {
    const char* name;
    std::string text;
    bool result;
    std::string after;  // shape() of the topology afterwards
  };
  const std::string oneTile =
      R"([{"id":0,"type":0,"neighbours":[{"channel":0,"id":1,"child":1}]},)";
  const Case cases[] = {
      {"empty array", "[]", false, ""},
      {"object", R"({"id":0})", false, ""},
      {"not JSON", "this is not a topology", false, ""},
      {"empty text", "", false, ""},
      {"truncated", R"([{"id":0,"type":0,"neighbours":[)", false, ""},
      {"deep nesting", std::string(5000, '[') + std::string(5000, ']'), false, ""},
      {"id as text", R"([{"id":"0","type":0,"neighbours":[]}])", false, ""},
      {"negative type", R"([{"id":0,"type":-1,"neighbours":[]}])", false, ""},
      {"element not an object", R"([{"id":0,"type":0,"neighbours":[]},3])", false, ""},
      {"second without neighbours", oneTile + R"({"id":1,"type":4}])", false,
       "0:0 p- 0>1\n1:4 p0\n"},
      {"child as boolean",
       oneTile + R"({"id":1,"type":4,"neighbours":[)" + R"({"channel":0,"id":0,"child":false}]}])",
       false, "0:0 p- 0>1\n1:4 p0\n"},
      {"child 2 is no child",
       R"([{"id":0,"type":0,"neighbours":[{"channel":0,"id":1,"child":2}]},)"
       R"({"id":1,"type":4,"neighbours":[]}])",
       true, "0:0 p- 0>1\n1:4 p-\n"},
      {"channels past the count dropped",
       R"([{"id":0,"type":0,"neighbours":[{"channel":1,"id":1,"child":1},)"
       R"({"channel":0,"id":1,"child":1}]},)"
       R"({"id":1,"type":4,"neighbours":[{"channel":4,"id":0,"child":0},)"
       R"({"channel":3,"id":0,"child":0}]},)"
       R"({"id":2,"type":255,"neighbours":[{"channel":0,"id":1,"child":0}]}])",
       true, "0:0 p- 0>1\n1:4 p0 3>0\n2:255 p-\n"},
      {"a repeated id: the first element makes the module, the last names its type",
       R"([{"id":0,"type":0,"neighbours":[{"channel":0,"id":2,"child":0}]},)"
       R"({"id":1,"type":3,"neighbours":[]},{"id":1,"type":4,"neighbours":[]},)"
       R"({"id":2,"type":5,"neighbours":[]},{"id":2,"type":6,"neighbours":[]}])",
       true, "0:0 p- 0>2\n1:3 p-\n2:6 p-\n"},
      {"more modules than 16-bit ids name", "[" + repeated("0", Topology::kMaxModules + 1) + "]",
       false, ""},
      {"more neighbours than read",
       R"([{"id":0,"type":0,"neighbours":[)" +
           repeated(R"({"channel":0,"id":1,"child":1})", Topology::kMaxLinks + 1) + "]}]",
       false, ""},
      {"undeclared neighbour is a relay, type keeps its low byte",
       R"([{"id":5,"type":260,"neighbours":[{"channel":2,"id":8,"child":0}]}])", true,
       "5:4 p- 2>8\n8:0 p-\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Topology t;
    EXPECT_EQ(t.fromJSON(c.text), c.result);
    EXPECT_EQ(shape(t), c.after);
  }
}

TEST(TopologyDocumentTest, ReadingAddsToWhatIsThere) {
  Topology t = relayWithTile(TypeQuadra);
  ASSERT_FALSE(t.fromJSON("[]"));
  EXPECT_EQ(t.size(), 2u);
  ASSERT_TRUE(t.fromJSON(R"([{"id":1,"type":6,"neighbours":[{"channel":1,"id":2,"child":1}]},)"
                         R"({"id":2,"type":6,"neighbours":[]}])"));
  EXPECT_EQ(shape(t), "0:0 p- 0>1\n1:4 p0 0>0 1>2\n2:6 p1\n");
}

TEST(TopologyDocumentTest, NoRelayMeansOutOfRange) {
  Topology t;
  t.newModule(TypeQuadra, 1);
  EXPECT_THROW(t.getJSON(), std::out_of_range);
  EXPECT_THROW(t.getMatrix(0), std::out_of_range);
}

}  // namespace
}  // namespace lc
