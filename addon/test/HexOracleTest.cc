// The HEX reader and writer against two independent tools: files they write
// from random binaries must load to the same bytes, and what our writer
// produces must convert back to the same bytes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "firmware/Hex.h"
#include "support/HexSupport.h"

namespace lc {
namespace {

using test::byteAt;

bool haveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string hexText(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

// Random bytes of even length with erased runs in them, as real images have.
std::vector<uint8_t> randomBinary(std::mt19937& rng) {
  std::uniform_int_distribution<uint32_t> half(1, 40000), byte(0, 255), coin(0, 9);
  std::vector<uint8_t> bytes(2 * half(rng));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(byte(rng));
  for (size_t i = 0; i + 600 < bytes.size(); i += 2000) {
    if (coin(rng) < 3) std::fill(bytes.begin() + i, bytes.begin() + i + 600, 0xFF);
  }
  return bytes;
}

// Exactly the binary's bytes at base, and nothing but 0xFF elsewhere.
void expectImage(const Hex& hex, uint32_t base, const std::vector<uint8_t>& bytes,
                 const std::string& what) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(byteAt(hex, base + static_cast<uint32_t>(i)), bytes[i]) << what << " at " << i;
  }
  for (const auto& [address, block] : hex) {
    for (uint32_t i = 0; i < Hex::kBlockSize; ++i) {
      const uint32_t a = address + i;
      if (a - base >= bytes.size()) {
        ASSERT_EQ(block[i], 0xFF) << what << " outside at " << a;
      }
    }
  }
}

TEST(HexOracleTest, ReadsWhatObjcopyWrites) {
  if (!haveTool("objcopy")) GTEST_SKIP() << "objcopy (binutils) is not installed";
  std::mt19937 rng(77);
  // objcopy writes segment records (types 02, 03) below 1 MB, which the
  // modules' images never use; their flash and RAM addresses are far above.
  std::uniform_int_distribution<uint32_t> offset(0, 0x7FFFF);
  for (int round = 0; round < 4; ++round) {
    const uint32_t base = (round % 2 ? 0xA0000000u : 0x9D000000u) + 2 * offset(rng);
    const std::vector<uint8_t> bytes = randomBinary(rng);
    const std::string bin = test::tempPath("objcopy.bin"), hexPath = test::tempPath("objcopy.hex");
    writeFile(bin, bytes);
    ASSERT_TRUE(run("objcopy -I binary -O ihex --change-addresses " + hexText(base) + " " + bin +
                    " " + hexPath));
    Hex hex;
    ASSERT_EQ(hex.openFromFile(hexPath), Hex::Ok);
    expectImage(hex, base, bytes, "objcopy round " + std::to_string(round));
  }
}

TEST(HexOracleTest, ReadsWhatSrecCatWrites) {
  if (!haveTool("srec_cat")) GTEST_SKIP() << "srec_cat (srecord) is not installed";
  std::mt19937 rng(78);
  std::uniform_int_distribution<uint32_t> offset(0, 0x7FFE0000);
  for (int round = 0; round < 4; ++round) {
    // Low addresses too: the tool writes extended linear records everywhere,
    // 32 data bytes a record, some crossing 64 KB boundaries.
    const uint32_t base = round == 0 ? 0xFFF0 : 2 * offset(rng);
    const std::vector<uint8_t> bytes = randomBinary(rng);
    const std::string bin = test::tempPath("srec.bin"), hexPath = test::tempPath("srec.hex");
    writeFile(bin, bytes);
    ASSERT_TRUE(run("srec_cat " + bin + " -binary -offset " + hexText(base) + " -o " + hexPath +
                    " -intel"));
    Hex hex;
    ASSERT_EQ(hex.openFromFile(hexPath), Hex::Ok);
    expectImage(hex, base, bytes, "srec_cat round " + std::to_string(round));
  }
}

TEST(HexOracleTest, SrecCatReadsWhatWeWrite) {
  if (!haveTool("srec_cat")) GTEST_SKIP() << "srec_cat (srecord) is not installed";
  std::mt19937 rng(79);
  for (int round = 0; round < 4; ++round) {
    // Random runs within a window that crosses two 64 KB boundaries.
    const uint32_t window = 0x30000;
    const uint32_t base = round == 0 ? 0 : 0x9D00F000u + 0x10000u * static_cast<uint32_t>(round);
    Hex hex;
    std::uniform_int_distribution<uint32_t> at(0, window - 800), length(1, 700), byte(0, 255);
    for (int r = 0; r < 30; ++r) {
      const uint32_t start = base + at(rng), n = length(rng);
      for (uint32_t i = 0; i < n; ++i) hex.storeData(start + i, byte(rng));
    }
    const std::string hexPath = test::tempPath("ours.hex"), bin = test::tempPath("ours.bin");
    ASSERT_EQ(hex.saveToFile(hexPath), Hex::Ok);
    const std::string from = hexText(base), to = hexText(base + window);
    ASSERT_TRUE(run("srec_cat " + hexPath + " -intel -fill 0xFF " + from + " " + to + " -crop " +
                    from + " " + to + " -offset -" + from + " -o " + bin + " -binary"));
    const std::vector<uint8_t> out = readFile(bin);
    ASSERT_EQ(out.size(), window);
    for (uint32_t i = 0; i < window; ++i) {
      ASSERT_EQ(out[i], byteAt(hex, base + i)) << "round " << round << " at " << i;
    }
  }
}

}  // namespace
}  // namespace lc
