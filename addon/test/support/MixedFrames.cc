#include "support/MixedFrames.h"

#include <gtest/gtest.h>

#include "support/ScriptedDriver.h"

namespace lc::test {

using Bytes = std::vector<unsigned char>;

// Every kind of frame the relay may send, including the empty ones that a
// plain driver read of 0 bytes would have turned into the end of the link.
std::vector<Bytes> mixedFrames() {
  Bytes big(3000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i % 251);
  Bytes full = statusPayload(7, 40, 0x01020304, 1024, 1, 2, 3);
  return {
      frame(0, Bytes(full.begin(), full.begin() + 4)),
      frame(0, Bytes(full.begin(), full.begin() + 8)),
      frame(0, full),
      frame(1, {4, 0x80}),
      frame(2, {9}),
      frame(2, big),
      frame(4, {1, 2, 3}),
      frame(3, {}),
      frame(1, {}),
      frame(0, {}),
      frame(0x1234, {}),
      frame(0, full),
  };
}

void checkMixedEvents(const std::vector<Event>& ev) {
  ASSERT_EQ(ev.size(), 10u);
  EXPECT_EQ(ev[0].kind, Event::Status);
  EXPECT_EQ(ev[0].state, 7);
  EXPECT_EQ(ev[0].version, 0u);
  EXPECT_EQ(ev[0].packetSize, 918);
  EXPECT_EQ(ev[1].version, 0x01020304u);
  EXPECT_EQ(ev[1].packetSize, 918);
  EXPECT_EQ(ev[2].packetSize, 1024);
  EXPECT_EQ(ev[2].flags, 3);
  EXPECT_EQ(ev[3].kind, Event::Data);
  EXPECT_TRUE(ev[3].typeOne);
  ASSERT_EQ(ev[3].length, 2u);
  EXPECT_EQ(ev[3].data[1], 0x80);
  EXPECT_FALSE(ev[4].typeOne);
  EXPECT_EQ(ev[5].length, 2048u);
  EXPECT_EQ(ev[5].data[2047], uint8_t(2047 % 251));
  EXPECT_EQ(ev[6].kind, Event::Closed);  // the type-4 frame gave no event
  EXPECT_EQ(ev[7].kind, Event::Data);
  EXPECT_EQ(ev[7].length, 0u);
  EXPECT_EQ(ev[8].kind, Event::Status);
  EXPECT_EQ(ev[8].packetSize, 918);
  EXPECT_EQ(ev[9].version, 0x01020304u);  // still reading after the close frame
}

}  // namespace lc::test
