#include "player/Buffer.h"

#include <algorithm>

#include "player/MaskData.h"
#include "player/RGBData.h"
#include "player/VideoData.h"
#include "topology/CoordinatesData.h"
#include "topology/CoordinatesVisitor.h"
#include "topology/OrientedData.h"
#include "topology/TopologyData.h"
#include "topology/TranslateVisitor.h"

namespace lc {

namespace {

std::unique_ptr<Data> makeMapping(Buffer::Mode mode) {
  switch (mode) {
    case Buffer::MaskMode:
      return std::make_unique<MaskData>();
    case Buffer::RgbMode:
      return std::make_unique<RGBData>();
    case Buffer::VideoMode:
      return std::make_unique<VideoData>();
  }
  return nullptr;
}

}  // namespace

bool Buffer::initScreen(const Topology& topology, unsigned angle, Mode mode, unsigned frameLength) {
  if (mode == MaskMode || mode == RgbMode || mode == VideoMode) {
    for (auto& mapping : mappings_) mapping = makeMapping(mode);
  }
  if (!mappings_[0]) {
    log_.error("No pixel mapping for mode ", static_cast<unsigned>(mode), ".");
    return false;
  }
  // The walk starts at the relay; without one there is no screen.
  if (!topology.contains(0)) {
    log_.error("The topology has no relay to start from.");
    return false;
  }

  TopologyData<CoordinatesData> coordinates;
  TopologyData<OrientedData> oriented;
  CoordinatesVisitor visitor(coordinates, oriented, angle);
  topology.visitAll(visitor, 0);
  width_ = visitor.screenWidth();
  height_ = visitor.screenHeight();
  // The mappings clamp their frames to what a frame header can carry; the
  // sender sends frameLength() bytes of them, so it must match.
  frameLength_ = std::min<std::uint32_t>(frameLength, Data::kMaxFrameLength);

  TranslateVisitor translate(coordinates, -visitor.minX(), -visitor.minY());
  topology.visitLinear(translate);

  for (auto& mapping : mappings_) {
    mapping->initFromTopologyData(coordinates, frameLength, width_, height_);
  }
  frameIndex_ = 0;
  writeSlot_.store(1);
  readSlot_.store(0);
  return true;
}

Buffer::Added Buffer::addImage(const unsigned char* image, unsigned length, Data::Format format) {
  const std::uint32_t write = writeSlot_.load();
  if (!mappings_[write]) return Ignored;
  mappings_[write]->update(image, length, format);
  const std::uint32_t next = (write + 1) % kSlots;
  if (next == readSlot_.load()) return Kept;
  writeSlot_.store(next);
  return HandedOver;
}

const std::uint8_t* Buffer::nextFrame() {
  const std::size_t frames = frameCount();
  if (frames == 0) return nullptr;
  if (frameIndex_ + 1 < frames) {
    ++frameIndex_;
  } else {
    frameIndex_ = 0;
    const std::uint32_t read = readSlot_.load();
    const std::uint32_t next = (read + 1) % kSlots;
    if (next != writeSlot_.load()) readSlot_.store(next);
  }
  return mappings_[readSlot_.load()]->frame(frameIndex_);
}

}  // namespace lc
