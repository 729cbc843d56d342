#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "link/Event.h"
#include "support/ScriptedDriver.h"

namespace {

using lc::Event;

struct StatusCase {
  const char* name;
  unsigned int payloadLength;
  uint16_t state, pace;
  uint32_t version;
  uint16_t packetSize, aux1;
  uint32_t aux2;
  uint16_t flags;
};

// A full payload with distinct bytes in every field, cut to each length.
TEST(Event, StatusFieldsByPayloadLength) {
  const std::vector<unsigned char> full =
      lc::test::statusPayload(0x0205, 0x0030, 0x04030201, 0x0400, 0x0011, 0x22334455, 0x0066);
  const StatusCase cases[] = {
      {"empty", 0, 0, 0, 0, 918, 128, 60, 8},
      {"one byte", 1, 0x05, 0, 0, 918, 128, 60, 8},
      {"three bytes", 3, 0x0205, 0x30, 0, 918, 128, 60, 8},
      {"four bytes", 4, 0x0205, 0x0030, 0, 918, 128, 60, 8},
      {"five bytes", 5, 0x0205, 0x0030, 0x01, 918, 128, 60, 8},
      {"eight bytes", 8, 0x0205, 0x0030, 0x04030201, 918, 128, 60, 8},
      {"nine bytes", 9, 0x0205, 0x0030, 0x04030201, 0x00, 128, 60, 8},
      {"twelve bytes", 12, 0x0205, 0x0030, 0x04030201, 0x0400, 0x0011, 60, 8},
      {"seventeen bytes", 17, 0x0205, 0x0030, 0x04030201, 0x0400, 0x0011, 0x22334455, 0x66},
      {"full", 18, 0x0205, 0x0030, 0x04030201, 0x0400, 0x0011, 0x22334455, 0x0066},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    Event e;
    e.setData(true, full.data(), 18);  // stale fields must not survive
    e.setStatus(full.data(), c.payloadLength);
    EXPECT_EQ(e.kind, Event::Status);
    EXPECT_EQ(e.state, c.state);
    EXPECT_EQ(e.pace, c.pace);
    EXPECT_EQ(e.version, c.version);
    EXPECT_EQ(e.packetSize, c.packetSize);
    EXPECT_EQ(e.aux1, c.aux1);
    EXPECT_EQ(e.aux2, c.aux2);
    EXPECT_EQ(e.flags, c.flags);
    EXPECT_EQ(e.length, 0u);
  }
}

TEST(Event, LongerStatusPayloadReadsOnlyItsFields) {
  std::vector<unsigned char> p = lc::test::statusPayload(1, 2, 3, 4, 5, 6, 7);
  p.resize(40, 0xEE);
  Event e;
  e.setStatus(p.data(), unsigned(p.size()));
  EXPECT_EQ(e.flags, 7);
  EXPECT_EQ(e.aux2, 6u);
}

TEST(Event, DataIsCutAtTheEventSize) {
  std::vector<unsigned char> payload(3000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
  Event e;
  e.setData(false, payload.data(), 3000);
  EXPECT_EQ(e.kind, Event::Data);
  EXPECT_FALSE(e.typeOne);
  ASSERT_EQ(e.length, Event::kMaxData);
  EXPECT_TRUE(std::equal(e.data, e.data + e.length, payload.begin()));

  e.setData(true, payload.data(), 0);
  EXPECT_TRUE(e.typeOne);
  EXPECT_EQ(e.length, 0u);
}

}  // namespace
