#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "firmware/LcApp.h"
#include "support/HexSupport.h"

namespace lc {
namespace {

using test::byteAt;

const char* kDataLine = "\":02000004a0005a\", \":02040000abcd82\", \":00000001FF\"";

std::string writeTemp(const std::string& name, const std::string& text) {
  const std::string path = test::tempPath(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

int openText(LcApp& app, const std::string& text) {
  std::istringstream in(text);
  return app.openFromStream(in);
}

TEST(LcAppTest, StructureResults) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    size_t ids;
  };
  const std::string good = std::string("{\"name\": \"delta\", \"hex\": [") + kDataLine + "]}";
  const Case cases[] = {
      {"object root", "{\"name\": \"delta\"}", LcApp::BadStructure, 0},
      {"empty array", "[]", LcApp::BadStructure, 0},
      {"null, what an empty package saves as", "null\n", LcApp::BadStructure, 0},
      {"not JSON", "[{\"name\": ", LcApp::BadStructure, 0},
      {"binary junk", std::string("\x00\xff[\x01", 4), LcApp::BadStructure, 0},
      {"element not an object", "[1]", LcApp::BadStructure, 0},
      {"empty hex array", "[{\"name\": \"delta\", \"hex\": []}]", LcApp::BadStructure, 0},
      {"number in hex", "[{\"name\": \"delta\", \"hex\": [12]}]", LcApp::BadStructure, 0},
      {"name not a string", "[{\"name\": 3, \"hex\": [\":00000001FF\"]}]", LcApp::BadStructure, 0},
      {"capitalised tag", "[{\"name\": \"Relay\", \"hex\": [\":00000001FF\"]}]",
       LcApp::BadStructure, 0},
      {"bad checksum", "[{\"name\": \"delta\", \"hex\": [\":02040000abcd83\"]}]", LcApp::BadHex, 0},
      {"end-of-file-only image is dropped", "[{\"name\": \"quadra\", \"hex\": [\":00000001FF\"]}]",
       LcApp::Opened, 0},
      {"CR line ends", "[{\"name\": \"delta\", \"hex\": [\":02040000abcd82\\r\"]}]", LcApp::Opened,
       1},
      {"one image", "[" + good + "]", LcApp::Opened, 1},
      {"same tag twice keeps the first", "[" + good + ", " + good + "]", LcApp::BadStructure, 1},
      {"other keys ignored", "[{\"x\": 1, \"name\": \"varna\", \"hex\": [\":02040000abcd82\"]}]",
       LcApp::Opened, 1},
  };
  for (const Case& c : cases) {
    LcApp app;
    EXPECT_EQ(openText(app, c.text), c.result) << c.name;
    EXPECT_EQ(app.getIds().size(), c.ids) << c.name;
  }
}

TEST(LcAppTest, OpeningTwiceRefusesTypesAlreadyPresent) {
  const std::string path =
      writeTemp("twice.json", std::string("[{\"name\": \"varna\", \"hex\": [") + kDataLine + "]}]");
  LcApp app;
  EXPECT_EQ(app.openFromFile(path), LcApp::Opened);
  EXPECT_EQ(app.openFromFile(path), LcApp::BadStructure);
  EXPECT_EQ(app.openFromFile(test::tempPath("absent.json")), LcApp::CannotOpen);
  EXPECT_EQ(app.openFromFile(test::tempPath("")), LcApp::CannotOpen);
  EXPECT_EQ(app.openFromFile(path + std::string(1, '\0') + ".other"), LcApp::CannotOpen);
  ASSERT_EQ(app.getIds(), std::vector<uint8_t>{TypeVarna});
  EXPECT_EQ(byteAt(app.getHex(TypeVarna), 0xA0000400), 0xAB);
  // Only the low 8 bits of the id count.
  EXPECT_EQ(&app.getHex(0x100 + TypeVarna), &app.getHex(TypeVarna));
  try {
    app.getHex(TypeDelta);
    ADD_FAILURE() << "no exception for a missing type";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "map::at:  key not found");
  }
}

TEST(LcAppTest, SavedPackageReadsBack) {
  LcApp app;
  EXPECT_EQ(app.saveToString(), "null\n");
  const std::string a = writeTemp("a.hex", ":02000004a0005a\n:02040000abcd82\n:00000001FF\n");
  const std::string b = writeTemp("b.hex", ":020000040001f9\n:020000001234b8\n");
  ASSERT_EQ(app.addHex("quadrav2", a), LcApp::Opened);
  ASSERT_EQ(app.addHex("relay", b), LcApp::Opened);
  EXPECT_EQ(app.getIds(), (std::vector<uint8_t>{TypeRelay, TypeQuadraV2}));

  const std::string text = app.saveToString();
  const std::string head =
      "[\n    {\n        \"hex\" : \n        [\n            \":020000040001f9\",\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find("\"name\" : \"relay\""), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), "]\n");

  const std::string path = test::tempPath("saved.json");
  ASSERT_EQ(app.saveToFile(path), LcApp::Saved);
  EXPECT_EQ(app.saveToFile(test::tempPath("no-dir/saved.json")), LcApp::CannotWrite);
  EXPECT_EQ(LcApp().saveToFile(path + std::string(1, '\0') + ".other"), LcApp::CannotWrite);
  LcApp back;
  ASSERT_EQ(back.openFromFile(path), LcApp::Opened);
  EXPECT_EQ(back.getIds(), app.getIds());
  for (uint8_t id : app.getIds()) EXPECT_TRUE(test::sameBytes(app.getHex(id), back.getHex(id)));
}

TEST(LcAppTest, AddHexResults) {
  const std::string good = writeTemp("good.hex", ":02040000abcd82\n");
  const std::string empty = writeTemp("empty.hex", "");
  const std::string eof = writeTemp("eof.hex", ":00000001FF\n");
  const std::string bad = writeTemp("bad.hex", ":02040000abcd83\n");
  LcApp app;
  EXPECT_EQ(app.addHex("delta", test::tempPath("none.hex")), LcApp::CannotOpen);
  EXPECT_EQ(app.addHex("Delta", good), LcApp::BadStructure);
  EXPECT_EQ(app.addHex("delta", empty), LcApp::Opened);
  EXPECT_EQ(app.addHex("delta", eof), LcApp::Opened);
  EXPECT_TRUE(app.getIds().empty());
  EXPECT_EQ(app.addHex("delta", bad), LcApp::BadHex);
  EXPECT_EQ(app.addHex("delta", good), LcApp::Opened);
  EXPECT_EQ(app.addHex("delta", good), LcApp::BadStructure);
  EXPECT_EQ(app.getIds(), std::vector<uint8_t>{TypeDelta});
}

// What reading a package was before its lines were decoded where they lie:
// each image's lines joined by line feeds and read as one HEX text.
std::pair<int, std::map<int, Hex>> joinedLines(const std::string& text) {
  Json::Value root;
  std::istringstream in(text);
  Json::CharReaderBuilder builder;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &root, &errors)) return {LcApp::BadStructure, {}};
  std::map<int, Hex> images;
  if (!root.isArray() || root.empty()) return {LcApp::BadStructure, images};
  for (const Json::Value& element : root) {
    if (!element.isObject()) return {LcApp::BadStructure, images};
    const Json::Value& lines = element["hex"];
    const ModuleType type =
        typeFromTag(element["name"].isString() ? element["name"].asString() : "");
    if (!lines.isArray() || lines.empty() || !isKnownType(type) || images.count(type) != 0) {
      return {LcApp::BadStructure, images};
    }
    std::string joined;
    for (const Json::Value& line : lines) {
      if (!line.isString()) return {LcApp::BadStructure, images};
      joined += line.asString() + "\n";
    }
    Hex hex;
    if (hex.openFromString(joined) != Hex::Ok) return {LcApp::BadHex, images};
    if (hex.nbKbUsed() != 0) images.emplace(type, std::move(hex));
  }
  return {LcApp::Opened, images};
}

TEST(LcAppTest, LinesReadWhereTheyLieAsWhenJoined) {
  const std::string data = "\":02000004a0005a\", \":02040000abcd82\"";
  const std::string other = "\":020000040001f9\",\":020000001234b8\"";
  const char* const texts[] = {
      "[{\"name\": \"delta\", \"hex\": [DATA]}, {\"hex\":[OTHER],\"name\":\"relay\"}]",
      "[{\"name\": \"delta\", \"hex\": [OTHER], \"hex\": [DATA]}]",
      "[{\"name\": \"delta\", \"hex\": [DATA]} /* \"hex\": [\"x\"] */]",
      "[{\"name\": \"delta\", \"h\\u0065x\": [DATA]}]",
      "[{\"name\": \"delta\", \"hex\": [\":0204\\u00300000abcd82\", \":00000001FF\"]}]",
      "[{\"name\": \"delta\", \"hex\": [\":00000001FF\", \"junk\", DATA]}]",
      "[{\"name\": \"delta\", \"hex\": [\":00000001FF\", 3]}]",
      "[{\"name\": \"delta\", \"hex\": [\"junk\", 3]}]",
      "[{\"name\": \"delta\", \"hex\": [\":02040000abcd82\\n:020000001234b8\", \"\"]}]",
      "[{\"name\": \"delta\", \"hex\": [\":0400000500001234b1\", \":02040000abcd82x\"]}]",
      "[{\"name\": \"delta\", \"hex\": [\":02040000abcd\", \"82\"]}]",
      "[{\"name\": \"delta\", \"hex\": [\":0204\", \"0000abcd82\"]}]",
      "[{\"name\": \"delta\", \"hex\": [DATA,]}]",
      "[{\"name\": \"delta\", \"hex\" : \n[ DATA\t] }, {\"name\": \"hex\", \"x\": {\"hex\": "
      "[OTHER]}}]",
      "[{\"name\": \"delta\", \"hex\": [DATA]}, {\"name\": \"relay\", \"hex\": [\"\"]}]",
      "[{\"name\": \"varna\", \"hex\": [DATA]}, {\"name\": \"varna\", \"hex\": [OTHER]}]",
      "[{\"name\": \"delta\", \"hex\": [DATA]}, {\"name\": \"relay\", \"hex\": [\"unterminated]}]",
  };
  for (std::string text : texts) {
    for (const auto& [key, value] : {std::pair{"DATA", data}, std::pair{"OTHER", other}}) {
      for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, 4, value);
    }
    const auto [result, images] = joinedLines(text);
    LcApp fromFile;
    LcApp fromStream;
    EXPECT_EQ(fromFile.openFromFile(writeTemp("lines.json", text)), result) << text;
    EXPECT_EQ(openText(fromStream, text), result) << text;
    for (const LcApp* app : {&fromFile, &fromStream}) {
      ASSERT_EQ(app->getIds().size(), images.size()) << text;
      for (const auto& [type, hex] : images) {
        EXPECT_TRUE(test::sameBytes(app->getHex(type), hex)) << text;
      }
    }
  }
}

}  // namespace
}  // namespace lc
