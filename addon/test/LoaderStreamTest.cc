#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/LoaderStream.h"
#include "support/HexSupport.h"

namespace lc {
namespace {

constexpr size_t kPacket = LoaderStream::kPacketSize;

// A packet of the stream, read field by field, each field checked to hold
// three equal copies.
struct Packet {
  uint8_t command;
  uint16_t selector, typeCode;
  uint32_t argument, argument2;
};

uint32_t field(const uint8_t* p, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= uint32_t{p[i]} << (8 * i);
  return v;
}

Packet packetAt(const std::vector<uint8_t>& stream, size_t index) {
  const uint8_t* p = stream.data() + index * kPacket;
  const struct { size_t offset, width; } fields[] = {{0, 1}, {6, 2}, {12, 2}, {18, 4}, {30, 4}};
  for (const auto& f : fields) {
    for (size_t copy = 1; copy < 3; ++copy) {
      EXPECT_EQ(std::memcmp(p + f.offset, p + f.offset + copy * f.width, f.width), 0)
          << "packet " << index << " field at " << f.offset;
    }
  }
  for (size_t i = 3; i < 6; ++i) EXPECT_EQ(p[i], 0) << "packet " << index;
  for (size_t i = 42; i < kPacket; ++i) EXPECT_EQ(p[i], 0) << "packet " << index;
  return {p[0], static_cast<uint16_t>(field(p + 6, 2)), static_cast<uint16_t>(field(p + 12, 2)),
          field(p + 18, 4), field(p + 30, 4)};
}

size_t packets(const LoaderStream& loader) { return loader.data().size() / kPacket; }

LcApp appWith(uint8_t type, std::initializer_list<uint32_t> blocks) {
  std::ostringstream text;
  Hex hex;
  for (uint32_t b : blocks) {
    for (uint32_t i = 0; i < Hex::kBlockSize; ++i) hex.storeData(b + i, i * 3 + (b >> 10));
  }
  const std::string path = test::tempPath("loader-" + std::to_string(type) + ".hex");
  EXPECT_EQ(hex.saveToFile(path), Hex::Ok);
  LcApp app;
  EXPECT_EQ(app.addHex(tagFromType(type), path), LcApp::Opened);
  return app;
}

TEST(LoaderStreamTest, PutValWritesThreeLittleEndianCopies) {
  uint8_t buf[24];
  std::memset(buf, 0xAA, sizeof buf);
  LoaderStream::putVal(0x11223344, buf, 4);
  const uint8_t four[] = {0x44, 0x33, 0x22, 0x11};
  for (int c = 0; c < 3; ++c) EXPECT_EQ(std::memcmp(buf + 4 * c, four, 4), 0);
  EXPECT_EQ(buf[12], 0xAA);
  LoaderStream::putVal(0x11223344, buf, 6);
  const uint8_t six[] = {0x44, 0x33, 0x22, 0x11, 0, 0};
  for (int c = 0; c < 3; ++c) EXPECT_EQ(std::memcmp(buf + 6 * c, six, 6), 0);
  LoaderStream::putOne(0xABCD, buf, 1);
  EXPECT_EQ(buf[0], 0xCD);
  EXPECT_EQ(buf[1], 0x33);
}

TEST(LoaderStreamTest, EmptyPackageAppOnly) {
  LoaderStream loader{LcApp{}};
  loader.generate(LoaderStream::AppOnly);
  ASSERT_EQ(loader.data().size(), 256u);
  Packet size = packetAt(loader.data(), 0);
  EXPECT_EQ(size.command, LoaderStream::CmdSize);
  EXPECT_EQ(size.selector, 0xFFFF);
  EXPECT_EQ(size.argument, 0u);
  EXPECT_EQ(packetAt(loader.data(), 1).command, LoaderStream::CmdStartRam);
}

TEST(LoaderStreamTest, OneRamBlockAppOnlyAndRam) {
  const LcApp app = appWith(TypeDelta, {0xA0000400, 0x1D000000, 0x0});
  for (LoaderStream::Type type : {LoaderStream::AppOnly, LoaderStream::Ram}) {
    LoaderStream loader(app);
    loader.generate(type);
    const std::vector<uint8_t>& s = loader.data();
    ASSERT_EQ(packets(loader), 28u);
    EXPECT_EQ(packetAt(s, 0).argument, 1u);
    const Packet memory = packetAt(s, 1);
    EXPECT_EQ(memory.command, LoaderStream::CmdMemory);
    EXPECT_EQ(memory.selector, 0);
    EXPECT_EQ(memory.typeCode, 0x2013);
    EXPECT_EQ(memory.argument, 0xA0000400u);
    const uint8_t* block = app.getHex(TypeDelta).kb(0xA0000400);
    for (size_t chunk = 0; chunk < 8; ++chunk) {
      for (size_t copy = 0; copy < 3; ++copy) {
        const uint8_t* data = s.data() + (2 + chunk * 3 + copy) * kPacket;
        ASSERT_EQ(std::memcmp(data, block + chunk * kPacket, kPacket), 0) << chunk << " " << copy;
      }
    }
    const Packet curtain = packetAt(s, 26);
    EXPECT_EQ(curtain.command, LoaderStream::CmdCurtainJump);
    EXPECT_EQ(curtain.typeCode, 0x2013);
    EXPECT_EQ(curtain.argument, 0xA000F000u);
    EXPECT_EQ(curtain.argument2, 0xA000FA00u);
    EXPECT_EQ(packetAt(s, 27).command,
              type == LoaderStream::AppOnly ? LoaderStream::CmdStartRam : LoaderStream::CmdJump);
  }
}

TEST(LoaderStreamTest, KernelSendsEmptyUnitsThenMemoryUnits) {
  const LcApp app = appWith(TypeRelayRpi, {0x9D021000});
  LoaderStream loader(app);
  loader.generate(LoaderStream::Kernel);
  const std::vector<uint8_t>& s = loader.data();
  ASSERT_EQ(packets(loader), 1 + 95 * 17 + 97 + 1);
  EXPECT_EQ(packetAt(s, 0).argument, 96u);
  size_t at = 1;
  for (uint32_t u = 0; u < 96; ++u) {
    if (u == 1) continue;
    const Packet empty = packetAt(s, at);
    ASSERT_EQ(empty.command, LoaderStream::CmdEmpty) << u;
    EXPECT_EQ(empty.typeCode, 0x002B);
    EXPECT_EQ(empty.argument, 0x9D020000u + u * 0x1000);
    for (size_t f = 1; f <= 16; ++f) {
      const uint8_t* filler = s.data() + (at + f) * kPacket;
      EXPECT_EQ(filler[0] | filler[1] | filler[2], 0);
      EXPECT_EQ(std::memcmp(filler + 3, s.data() + at * kPacket + 3, kPacket - 3), 0);
    }
    at += 17;
  }
  const Packet memory = packetAt(s, at);
  EXPECT_EQ(memory.command, LoaderStream::CmdMemory);
  EXPECT_EQ(memory.argument, 0x9D021000u);
  // The image's block is the unit's first kilobyte; the other three are erased.
  const uint8_t* block = app.getHex(TypeRelayRpi).kb(0x9D021000);
  for (size_t chunk = 0; chunk < 8; ++chunk) {
    for (size_t copy = 0; copy < 3; ++copy) {
      const uint8_t* data = s.data() + (at + 1 + chunk * 3 + copy) * kPacket;
      ASSERT_EQ(std::memcmp(data, block + chunk * kPacket, kPacket), 0) << chunk << " " << copy;
    }
  }
  for (size_t i = 0; i < 72 * kPacket; ++i) ASSERT_EQ(s[(at + 25) * kPacket + i], 0xFF);
  EXPECT_EQ(packetAt(s, at + 97).command, LoaderStream::CmdReset);
}

TEST(LoaderStreamTest, UnitCounts) {
  struct Case {
    const char* name;
    uint8_t type;
    std::vector<uint32_t> blocks;
    LoaderStream::Type kind;
    uint32_t units;
    size_t packets;
  };
  const Case cases[] = {
      {"outside every region, AppOnly", TypeVarna, {0x1D000000, 0x0}, LoaderStream::AppOnly, 0, 3},
      {"outside every region, Fallback",
       TypeVarna,
       {0x1D000000, 0x0},
       LoaderStream::Fallback,
       0,
       2},
      {"outside every region, Kernel",
       TypeVarna,
       {0x1D000000, 0x0},
       LoaderStream::Kernel,
       96,
       2 + 96 * 17},
      {"fallback unit", TypeQuadra, {0x9D000000, 0x9D000C00}, LoaderStream::Fallback, 1, 2 + 97},
      {"last RAM unit only", TypeRelay, {0xA001FC00, 0xA0020000}, LoaderStream::AppOnly, 1, 3 + 25},
      {"full RAM", TypeDelta, {}, LoaderStream::AppOnly, 128, 3203},
  };
  for (const Case& c : cases) {
    LcApp app;
    if (c.blocks.empty()) {
      std::vector<uint32_t> all;
      for (uint32_t k = 0; k < 128; ++k) all.push_back(0xA0000000 + k * 1024);
      Hex hex;
      for (uint32_t b : all) hex.storeData(b, 1);
      const std::string path = test::tempPath("full.hex");
      ASSERT_EQ(hex.saveToFile(path), Hex::Ok);
      ASSERT_EQ(app.addHex(tagFromType(c.type), path), LcApp::Opened);
    } else {
      Hex hex;
      for (uint32_t b : c.blocks) hex.storeData(b, 1);
      const std::string path = test::tempPath("units.hex");
      ASSERT_EQ(hex.saveToFile(path), Hex::Ok);
      ASSERT_EQ(app.addHex(tagFromType(c.type), path), LcApp::Opened);
    }
    LoaderStream loader(app);
    loader.generate(c.kind);
    EXPECT_EQ(packets(loader), c.packets) << c.name;
    EXPECT_EQ(packetAt(loader.data(), 0).argument, c.units) << c.name;
  }
}

TEST(LoaderStreamTest, TwoTileModelsShareTheirCode) {
  LcApp app = appWith(TypeDelta, {0xA0000000});
  const std::string path = test::tempPath("second.hex");
  Hex second;
  second.storeData(0xA0000800, 7);
  ASSERT_EQ(second.saveToFile(path), Hex::Ok);
  ASSERT_EQ(app.addHex("varna", path), LcApp::Opened);
  LoaderStream loader(app);
  loader.genAppOnly();
  const std::vector<uint8_t>& s = loader.data();
  ASSERT_EQ(packets(loader), 1 + 25 + 1 + 25 + 1 + 1);
  EXPECT_EQ(packetAt(s, 0).argument, 2u);
  for (size_t i : {size_t{1}, size_t{26}, size_t{27}, size_t{52}}) {
    EXPECT_EQ(packetAt(s, i).typeCode, 0x2013) << i;
  }
  EXPECT_EQ(packetAt(s, 27).argument, 0xA0000800u);
}

TEST(LoaderStreamTest, StreamsGrowAndConcatenate) {
  const LcApp app = appWith(TypeDelta, {0xA0000000});
  LoaderStream loader(app);
  loader.generate(static_cast<LoaderStream::Type>(7));
  EXPECT_TRUE(loader.data().empty());
  EXPECT_EQ(loader.genMemory(app.getHex(TypeDelta), 1, 0, 0xA0000000, 5), 0u);
  EXPECT_EQ(loader.genEmpty(app.getHex(TypeDelta), 1, 1, 0xA0000000, 0), 0u);
  EXPECT_TRUE(loader.data().empty());

  loader.genAppOnly();
  const std::vector<uint8_t> first = loader.data();
  // A second kind appends its packets and puts its size packet in front.
  loader.genFallback();
  ASSERT_EQ(packets(loader), first.size() / kPacket + 2);
  EXPECT_EQ(packetAt(loader.data(), 0).command, LoaderStream::CmdSize);
  EXPECT_EQ(std::memcmp(loader.data().data() + kPacket, first.data(), first.size()), 0);

  LoaderStream copy{LcApp{}};
  copy.concat(loader);
  copy.concat(copy);
  ASSERT_EQ(copy.data().size(), 2 * loader.data().size());
  EXPECT_EQ(std::memcmp(copy.data().data() + loader.data().size(), loader.data().data(),
                        loader.data().size()),
            0);

  // The loader keeps its own copy of the package.
  LcApp changing = app;
  LoaderStream own(changing);
  changing.getHex(TypeDelta).storeData(0xA0000000, 0x99);
  own.genAppOnly();
  EXPECT_EQ(own.data()[2 * kPacket], app.getHex(TypeDelta).kb(0xA0000000)[0]);
}

}  // namespace
}  // namespace lc
