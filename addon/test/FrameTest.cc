#include <gtest/gtest.h>

#include <vector>

#include "link/Frame.h"

namespace {

using lc::decodeHeader;
using lc::encodeHeader;
using lc::Frame;
using lc::FrameCutter;
using lc::FrameView;
using Bytes = std::vector<unsigned char>;

Bytes frame(uint16_t type, const Bytes& payload) {
  Bytes out(Frame::kHeaderSize);
  encodeHeader(type, uint16_t(payload.size()), out.data());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

struct Cut {
  uint16_t type;
  Bytes bytes;  // the whole frame as handed out
  bool operator==(const Cut& o) const { return type == o.type && bytes == o.bytes; }
};

// Feeds the stream in pieces of the given sizes (the last one repeated), and
// notes whether each frame was handed out in place, inside the piece fed.
std::vector<Cut> cutInPieces(FrameCutter& cutter, const Bytes& stream, std::vector<size_t> sizes,
                             size_t* inPlace = nullptr) {
  std::vector<Cut> out;
  size_t at = 0;
  for (size_t i = 0; at < stream.size(); ++i) {
    const size_t n = std::min(sizes[std::min(i, sizes.size() - 1)], stream.size() - at);
    const unsigned char* piece = stream.data() + at;
    cutter.feed(piece, n, [&](const FrameView& f) {
      EXPECT_EQ(f.size, Frame::kHeaderSize + f.length());
      EXPECT_EQ(f.type, decodeHeader(f.bytes).type);
      EXPECT_EQ(f.length(), decodeHeader(f.bytes).length);
      if (inPlace && f.bytes >= piece && f.bytes + f.size <= piece + n) ++*inPlace;
      out.push_back({f.type, Bytes(f.bytes, f.bytes + f.size)});
    });
    at += n;
  }
  return out;
}

TEST(FrameHeader, EncodesAndDecodesLittleEndian) {
  struct Case {
    uint16_t type, length;
    Bytes wire;
  } cases[] = {
      {1, 2, {0x01, 0x00, 0x02, 0x00}},
      {0, 18, {0x00, 0x00, 0x12, 0x00}},
      {Frame::Block, 128, {0x03, 0x00, 0x80, 0x00}},
      {0x0105, 0xFFFF, {0x05, 0x01, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    unsigned char out[Frame::kHeaderSize];
    encodeHeader(c.type, c.length, out);
    EXPECT_EQ(Bytes(out, out + 4), c.wire);
    const lc::FrameHeader h = decodeHeader(c.wire.data());
    EXPECT_EQ(h.type, c.type);
    EXPECT_EQ(h.length, c.length);
  }
}

TEST(FrameCutter, YieldsTheSameFramesHoweverTheStreamIsSplit) {
  Bytes big(Frame::kMaxPayload);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  const std::vector<Bytes> frames = {
      {0x01, 0x00, 0x02, 0x00, 0x04, 0x80},  // type 1 with payload 04 80
      frame(0, Bytes(18, 9)),
      frame(2, {}),
      frame(0x1234, {1, 2, 3}),
      frame(3, {}),
      frame(1, big),
      frame(0, {5, 0, 3, 0}),
  };
  Bytes stream;
  std::vector<Cut> expected;
  for (const Bytes& f : frames) {
    stream.insert(stream.end(), f.begin(), f.end());
    expected.push_back({decodeHeader(f.data()).type, f});
  }
  const std::vector<std::vector<size_t>> splits = {
      {stream.size()},  // all at once
      {1},              // a byte at a time
      {2, 3},           // headers split across pieces
      {3, 5},
      {7, 65536},  // the large frame spanning pieces, then many frames per piece
      {13, 4099},
  };
  for (const auto& sizes : splits) {
    SCOPED_TRACE(sizes[0]);
    FrameCutter cutter;
    EXPECT_EQ(cutInPieces(cutter, stream, sizes), expected);
    EXPECT_EQ(cutter.pending(), 0u);
  }
}

TEST(FrameCutter, HandsOutWholeFramesInPlaceAndHoldsOnlyTheUnfinished) {
  const Bytes one = frame(0, Bytes(18, 1));
  Bytes stream;
  for (int i = 0; i < 100; ++i) stream.insert(stream.end(), one.begin(), one.end());
  FrameCutter cutter;
  size_t inPlace = 0;
  // 1000-byte pieces cut a frame at every boundary but the last.
  EXPECT_EQ(cutInPieces(cutter, stream, {1000}, &inPlace).size(), 100u);
  EXPECT_EQ(inPlace, 100u - 2);

  // The rest of an unfinished frame is kept until it comes, or forgotten.
  const unsigned char head[] = {0, 0, 18, 0, 1, 1};
  int seen = 0;
  cutter.feed(head, sizeof head, [&](const FrameView&) { ++seen; });
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(cutter.pending(), sizeof head);
  cutter.reset();
  EXPECT_EQ(cutter.pending(), 0u);
  const Bytes empty = frame(2, {});
  cutter.feed(empty.data(), empty.size(), [&](const FrameView& f) {
    ++seen;
    EXPECT_EQ(f.type, 2);
    EXPECT_EQ(f.length(), 0u);
  });
  EXPECT_EQ(seen, 1);
}

}  // namespace
