#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware/Hex.h"
#include "firmware/LcApp.h"
#include "support/HexSupport.h"

namespace lc {
namespace {

using test::byteAt;

struct ReadCase {
  const char* name;
  std::string text;
  int result;
  uint32_t blocks;
};

TEST(HexTest, ReaderResults) {
  const ReadCase cases[] = {
      {"empty text", "", Hex::Ok, 0},
      {"end of file without line feed", ":00000001FF", Hex::Ok, 0},
      {"data on a last line without line feed", ":020000001234b8", Hex::BadContent, 0},
      {"lines ending in CR LF", ":020000001234b8\r\n:00000001FF\r\n", Hex::Ok, 1},
      {"empty CR LF line", ":020000001234b8\r\n\r\n:00000001FF\n", Hex::BadContent, 1},
      {"empty LF lines are passed over", "\n\n:020000001234b8\n\n", Hex::Ok, 1},
      {"odd count with right checksum", ":0100000012ed\n", Hex::BadContent, 0},
      {"type 02", ":020000021000ec\n", Hex::BadContent, 0},
      {"type 03", ":0400000300003800c1\n", Hex::BadContent, 0},
      {"type 05 with bad checksum is skipped", ":04000005000000cd00\n", Hex::Ok, 0},
      {"type 06", ":00000006fa\n", Hex::BadContent, 0},
      {"bad checksum", ":020000001234b9\n", Hex::BadContent, 0},
      {"missing colon", "020000001234b8\n", Hex::BadContent, 0},
      {"non-digit in header", ":0200g0001234b8\n", Hex::BadContent, 0},
      {"non-digit in data", ":02000000123xb8\n", Hex::BadContent, 0},
      {"line too short for its count", ":04000000123456\n", Hex::BadContent, 0},
      {"truncated header at end of text", ":0200", Hex::BadContent, 0},
      {"upper-case digits", ":02000000ABCD86\n", Hex::Ok, 1},
      {"characters after the checksum are ignored", ":020000001234b8 junk\n", Hex::Ok, 1},
      {"nothing read after end of file", ":00000001FF\ngarbage\n", Hex::Ok, 0},
      {"type 04 with count 4", ":0400000400010000f7\n", Hex::BadContent, 0},
      {"count 0 data record", ":0000000000\n", Hex::Ok, 0},
  };
  for (const ReadCase& c : cases) {
    Hex hex;
    EXPECT_EQ(hex.openFromString(c.text), c.result) << c.name;
    EXPECT_EQ(hex.nbKbUsed(), c.blocks) << c.name;
  }
}

TEST(HexTest, BytesBeforeABadRecordStay) {
  Hex hex;
  EXPECT_EQ(hex.openFromString(":020000001234b8\n:020002001234b9\n"), Hex::BadContent);
  EXPECT_EQ(byteAt(hex, 0), 0x12);
  EXPECT_EQ(byteAt(hex, 2), 0xFF);
}

TEST(HexTest, LongRecordsAreReadWhole) {
  // 32 and 255 data bytes: more than the classic 16, up to what the count holds.
  for (uint32_t n : {32u, 254u}) {
    std::vector<uint8_t> data(n);
    for (uint32_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    std::string line = test::record(0x0100, 0x00, data);
    Hex hex;
    ASSERT_EQ(hex.openFromString(line + "\n"), Hex::Ok) << n;
    for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(byteAt(hex, 0x100 + i), data[i]) << n << " " << i;
  }
  // 255 is odd and therefore refused, like any odd count.
  Hex hex;
  EXPECT_EQ(hex.openFromString(test::record(0, 0, std::vector<uint8_t>(255, 1)) + "\n"),
            Hex::BadContent);
}

TEST(HexTest, ExtendedAddressAppliesToLaterRecordsAndMerges) {
  Hex hex;
  ASSERT_EQ(hex.openFromString(":02000004a0005a\n:02040000abcd82\n"), Hex::Ok);
  EXPECT_TRUE(hex.kbIsUsed(0xA0000400));
  EXPECT_EQ(byteAt(hex, 0xA0000400), 0xAB);
  // A second text starts again at extended address 0 and merges in.
  ASSERT_EQ(hex.openFromString(":020400001111d8\n:02000004a0005a\n:020400002222b6\n"), Hex::Ok);
  EXPECT_EQ(byteAt(hex, 0x400), 0x11);
  EXPECT_EQ(byteAt(hex, 0xA0000400), 0x22);
  EXPECT_EQ(byteAt(hex, 0xA0000401), 0x22);
  EXPECT_EQ(hex.nbKbUsed(), 2u);
}

// One record line of `type` carrying `bytes` at the 16-bit `address`.
std::string recordLine(uint8_t type, uint16_t address, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> all = {static_cast<uint8_t>(bytes.size()),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                              type};
  all.insert(all.end(), bytes.begin(), bytes.end());
  uint8_t sum = 0;
  for (uint8_t b : all) sum = static_cast<uint8_t>(sum + b);
  all.push_back(static_cast<uint8_t>(-sum));
  static const char* digits = "0123456789ABCDEF";
  std::string line = ":";
  for (uint8_t b : all) line += {digits[b >> 4], digits[b & 15]};
  return line + "\n";
}

TEST(HexTest, RecordsLandAsByteByByteStoresWouldPutThem) {
  // Records copied a block at a time must land where storing each byte at
  // its address would: at block boundaries, past the top of the address
  // space (wrapping to 0) and over bytes stored before.
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    Hex expected;
    uint32_t extended = 0;
    for (int r = 0; r < 20; ++r) {
      if (rng() % 4 == 0) {
        const uint16_t upper = rng() % 3 == 0 ? 0xFFFF : static_cast<uint16_t>(rng() % 4);
        text +=
            recordLine(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
        extended = upper;
      }
      // Offsets near the end of a block and of the 64 KB segment.
      const uint16_t address = static_cast<uint16_t>(
          rng() % 2 ? 0xFFF0 + rng() % 16 : (rng() % 64) * 0x400 + 0x3F0 + rng() % 16);
      std::vector<uint8_t> bytes(2 * (rng() % 9));
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
      text += recordLine(0x00, address, bytes);
      const uint32_t base = (extended << 16) | address;
      for (uint32_t i = 0; i < bytes.size(); ++i)
        ASSERT_TRUE(expected.storeData(base + i, bytes[i]));
    }
    Hex hex;
    ASSERT_EQ(hex.openFromString(text), Hex::Ok);
    ASSERT_EQ(hex.nbKbUsed(), expected.nbKbUsed());
    for (const auto& [address, block] : expected) {
      const uint8_t* got = hex.kb(address);
      ASSERT_NE(got, nullptr) << address;
      ASSERT_EQ(std::vector<uint8_t>(got, got + Hex::kBlockSize),
                std::vector<uint8_t>(block.begin(), block.end()))
          << "block " << address << ", round " << round;
    }
  }
}

TEST(HexTest, BlocksAndLookups) {
  Hex hex;
  hex.storeData(0x1234, 0x1AB);  // only the low 8 bits are kept
  EXPECT_EQ(hex.nbKbUsed(), 1u);
  EXPECT_TRUE(hex.kbIsUsed(0x1000));
  EXPECT_FALSE(hex.kbIsUsed(0x1234));
  ASSERT_NE(hex.kb(0x1000), nullptr);
  EXPECT_EQ(hex.kb(0x1234), nullptr);
  EXPECT_EQ(hex.kb(0x1400), nullptr);
  const uint8_t* block = hex.kb(0x1000);
  for (uint32_t i = 0; i < Hex::kBlockSize; ++i) {
    ASSERT_EQ(block[i], i == 0x234 ? 0xAB : 0xFF) << i;
  }

  for (uint32_t a : {0x0u, 0x400u, 0x1400u, 0x1800u}) hex.storeData(a, 0);
  EXPECT_EQ(hex.nbKbUsed(0x1000, 2), 2u);
  EXPECT_EQ(hex.nbKbUsed(0x0, 2), 2u);
  EXPECT_EQ(hex.nbKbUsed(0x0, 0), 0u);
  EXPECT_EQ(hex.nbKbUsed(0x1800, 100), 1u);
}

TEST(HexTest, EraseCountsBytes) {
  struct Case {
    uint32_t address, count;
    std::vector<uint32_t> left;
  };
  const Case cases[] = {
      {0x400, 1, {0x0, 0x800, 0xC00}},
      {0x400, 2, {0x0, 0x800, 0xC00}},
      {0x400, 0x800, {0x0, 0xC00}},
      {0x400, 0, {0x0, 0x400, 0x800, 0xC00}},
      {0x401, 0x400, {0x0, 0x400, 0xC00}},
      // A range past the top of the address space wraps to 0.
      {0xFFFFFC00, 0x800, {0x400, 0x800, 0xC00}},
  };
  for (const Case& c : cases) {
    Hex hex;
    for (uint32_t a : {0x0u, 0x400u, 0x800u, 0xC00u}) hex.storeData(a, 1);
    hex.eraseKb(c.address, c.count);
    EXPECT_EQ(test::blockAddresses(hex), c.left) << c.address << " " << c.count;
  }
  Hex empty;
  empty.eraseKb(0, 0xFFFFFFFF);
  EXPECT_EQ(empty.nbKbUsed(), 0u);
}

TEST(HexTest, EraseThenStoreDoesNotWriteAFreedBlock) {
  Hex hex;
  hex.storeData(0x400, 1);
  hex.eraseKb(0x400, 1);
  hex.storeData(0x401, 2);  // must recreate the block, not reuse the cache
  ASSERT_TRUE(hex.kbIsUsed(0x400));
  EXPECT_EQ(byteAt(hex, 0x400), 0xFF);
  EXPECT_EQ(byteAt(hex, 0x401), 2);
}

TEST(HexTest, MoveKbMovesTheWholeRangeAtOnce) {
  struct Case {
    const char* name;
    std::vector<uint32_t> present;  // each block's first byte is its index + 1
    uint32_t from, to, count;
    std::vector<std::pair<uint32_t, uint8_t>> after;  // block, first byte
  };
  const Case cases[] = {
      {"missing source leaves the destination",
       {0x400, 0x8000},
       0x0,
       0x8000,
       2,
       {{0x8000, 2}, {0x8400, 1}}},
      {"onto itself", {0x0, 0x400}, 0x0, 0x0, 2, {{0x0, 1}, {0x400, 2}}},
      {"overlap upwards", {0x0, 0x400, 0x800}, 0x0, 0x400, 3, {{0x400, 1}, {0x800, 2}, {0xC00, 3}}},
      {"overlap downwards",
       {0x400, 0x800, 0xC00},
       0x400,
       0x0,
       3,
       {{0x0, 1}, {0x400, 2}, {0x800, 3}}},
      {"replaces a destination outside the source", {0x0, 0x1000}, 0x0, 0x1000, 1, {{0x1000, 1}}},
      {"count 0", {0x0}, 0x0, 0x400, 0, {{0x0, 1}}},
  };
  for (const Case& c : cases) {
    Hex hex;
    for (size_t i = 0; i < c.present.size(); ++i) {
      hex.storeData(c.present[i], static_cast<uint8_t>(i + 1));
      hex.storeData(c.present[i] + 5, 0x55);
    }
    EXPECT_TRUE(hex.moveKb(c.from, c.to, c.count)) << c.name;
    std::vector<std::pair<uint32_t, uint8_t>> after;
    for (const auto& [address, block] : hex) {
      after.emplace_back(address, block[0]);
      EXPECT_EQ(block[5], 0x55) << c.name;
    }
    EXPECT_EQ(after, c.after) << c.name;
    // Storing after a move must not reach a block that moved away.
    hex.storeData(c.from, 0xEE);
    EXPECT_EQ(byteAt(hex, c.from), 0xEE) << c.name;
  }
}

TEST(HexTest, MoveKbRefusesUnalignedAddresses) {
  Hex hex;
  hex.storeData(0x0, 1);
  EXPECT_FALSE(hex.moveKb(0x0, 0x10, 1));
  EXPECT_EQ(test::blockAddresses(hex), std::vector<uint32_t>{0x0});
}

TEST(HexTest, CopiesAreIndependent) {
  Hex a;
  a.storeData(0x10, 1);
  Hex b = a;
  b.storeData(0x11, 2);  // a copy must not write through the original's cache
  a.storeData(0x12, 3);
  EXPECT_EQ(byteAt(a, 0x11), 0xFF);
  EXPECT_EQ(byteAt(b, 0x12), 0xFF);
  Hex c;
  c = b;
  c.storeData(0x10, 9);
  EXPECT_EQ(byteAt(b, 0x10), 1);
}

TEST(HexTest, WriterLayout) {
  Hex empty;
  EXPECT_EQ(empty.saveToString(), ":00000001FF\n");

  Hex hex;
  hex.storeData(0x10000, 0x12);
  EXPECT_EQ(hex.saveToString(),
            ":020000040001f9\n:1000000012ffffffffffffffffffffffffffffffed\n:00000001FF\n");

  // Below 64 KB no extended record is needed; a later segment gets one.
  Hex two;
  two.storeData(0x20, 0xAA);
  two.storeData(0x20010, 0xBB);
  EXPECT_EQ(two.saveToString(),
            ":10002000aaffffffffffffffffffffffffffffff35\n"
            ":020000040002f8\n"
            ":10001000bbffffffffffffffffffffffffffffff34\n"
            ":00000001FF\n");
}

TEST(HexTest, SaveDataSplitsAndPads) {
  Hex hex;
  std::ostringstream out;
  const uint8_t three[] = {1, 2, 3};
  hex.saveData(out, 0x10, three, 3);
  // A new image's first record needs an extended address record.
  EXPECT_EQ(out.str(), ":020000040000fa\n:04001000010203ffe7\n");

  std::vector<uint8_t> data(600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  std::ostringstream big;
  hex.saveData(big, 0x0FF80, data.data(), static_cast<uint32_t>(data.size()));
  hex.saveEndOfFile(big);
  std::string text = big.str();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    uint32_t count = std::stoul(line.substr(1, 2), nullptr, 16);
    EXPECT_EQ(line.size(), 11 + 2 * count) << line;
    EXPECT_EQ(count % 2, 0u) << line;
  }
  Hex back;
  ASSERT_EQ(back.openFromString(text), Hex::Ok);
  for (uint32_t i = 0; i < data.size(); ++i) ASSERT_EQ(byteAt(back, 0xFF80 + i), data[i]) << i;
}

TEST(HexTest, RandomSparseImagesRoundTrip) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    Hex original = test::randomImage(rng, 40);
    Hex back;
    ASSERT_EQ(back.openFromString(original.saveToString()), Hex::Ok);
    EXPECT_TRUE(test::sameBytes(original, back)) << "round " << round;
    // Saving again gives the same text: the writer's state is reset per call.
    EXPECT_EQ(back.saveToString(), original.saveToString());
  }
}

TEST(HexTest, FilesOpenAndSave) {
  Hex hex;
  EXPECT_EQ(hex.openFromFile(test::tempPath("missing-dir/none.hex")), Hex::CannotOpen);
  hex.storeData(0xA0000000, 0x42);
  EXPECT_EQ(hex.saveToFile(test::tempPath("missing-dir/out.hex")), Hex::CannotOpen);
  // A directory opens but cannot be read; a huge file is refused unread.
  EXPECT_EQ(hex.openFromFile(test::tempPath("")), Hex::CannotOpen);
  const std::string huge = test::tempPath("huge.hex");
  { std::ofstream(huge).put(':'); }
  std::filesystem::resize_file(huge, Hex::kMaxFileSize + 1);
  EXPECT_EQ(hex.openFromFile(huge), Hex::BadContent);
  std::filesystem::remove(huge);
  EXPECT_EQ(hex.nbKbUsed(), 1u);

  const std::string path = test::tempPath("hex-test.hex");
  ASSERT_EQ(hex.saveToFile(path), Hex::Ok);
  Hex back;
  ASSERT_EQ(back.openFromFile(path), Hex::Ok);
  EXPECT_TRUE(test::sameBytes(hex, back));
  // A NUL ends the name for the C library: such a path names no file at all.
  const std::string cut = path + std::string(1, '\0') + ".other";
  Hex none;
  EXPECT_EQ(none.openFromFile(cut), Hex::CannotOpen);
  EXPECT_EQ(none.saveToFile(cut), Hex::CannotOpen);
  EXPECT_EQ(back.openFromFile(path), Hex::Ok);  // still the saved image, not truncated
  EXPECT_TRUE(test::sameBytes(hex, back));
}

// Text of `blocks` two-byte records, each in a block of its own.
std::string oneRecordPerBlock(uint32_t blocks) {
  std::string text;
  for (uint32_t b = 0; b < blocks; ++b) {
    const uint32_t address = b * Hex::kBlockSize;
    if ((address & 0xFFFF) == 0) {
      text +=
          test::record(0, 4,
                       {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16)}) +
          "\n";
    }
    text += test::record(static_cast<uint16_t>(address), 0, {0x12, 0x34}) + "\n";
  }
  return text;
}

// The file size does not bound the image: two bytes can make a whole block.
TEST(HexTest, ImageMemoryIsBounded) {
  Hex full;
  ASSERT_EQ(full.openFromString(oneRecordPerBlock(Hex::kMaxBlocks)), Hex::Ok);
  EXPECT_EQ(full.nbKbUsed(), Hex::kMaxBlocks);
  // Bytes of blocks it already has are still taken; a new block is not.
  EXPECT_TRUE(full.storeData(0x10, 0x55));
  EXPECT_FALSE(full.storeData(Hex::kMaxBlocks * Hex::kBlockSize, 0x55));
  EXPECT_EQ(full.nbKbUsed(), Hex::kMaxBlocks);

  Hex over;
  EXPECT_EQ(over.openFromString(oneRecordPerBlock(Hex::kMaxBlocks + 1)), Hex::BadContent);
  EXPECT_EQ(over.nbKbUsed(), Hex::kMaxBlocks);

  // Through a package file, as the script side opens it.
  const std::string path = test::tempPath("many-blocks.json");
  {
    std::ofstream out(path);
    out << "[{\"name\": \"delta\", \"hex\": [";
    std::istringstream lines(oneRecordPerBlock(Hex::kMaxBlocks + 1));
    std::string line;
    for (bool first = true; std::getline(lines, line); first = false) {
      out << (first ? "" : ",") << '"' << line << '"';
    }
    out << "]}]";
  }
  LcApp app;
  EXPECT_EQ(app.openFromFile(path), LcApp::BadHex);
  EXPECT_TRUE(app.getIds().empty());
  std::filesystem::remove(path);
}

// Saving changes nothing, so one image may be saved by several threads.
TEST(HexTest, ConcurrentSavesAgree) {
  std::mt19937 rng(7);
  const Hex image = test::randomImage(rng, 40);
  const std::string expected = image.saveToString();
  std::string texts[2];
  std::thread a([&] { texts[0] = image.saveToString(); });
  std::thread b([&] { texts[1] = image.saveToString(); });
  a.join();
  b.join();
  EXPECT_EQ(texts[0], expected);
  EXPECT_EQ(texts[1], expected);
}

}  // namespace
}  // namespace lc
