#include "player/Buffer.h"

#include <algorithm>
#include <utility>

#include "player/MaskData.h"
#include "player/RGBData.h"
#include "player/VideoData.h"
#include "topology/CoordinatesData.h"
#include "topology/CoordinatesVisitor.h"
#include "topology/OrientedData.h"
#include "topology/TopologyData.h"

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

bool Buffer::initScreen(const Topology& topology, unsigned angle, Mode mode, unsigned frameLength,
                        const Correction& correction, TopologyData<CoordinatesData>* placed) {
  if (mode == MaskMode || mode == RgbMode || mode == VideoMode) {
    mappings_[0] = makeMapping(mode);
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
  CoordinatesVisitor visitor(coordinates, oriented, angle, CoordinatesVisitor::Screen);
  topology.visitAll(visitor, 0);
  width_ = visitor.screenWidth();
  height_ = visitor.screenHeight();
  // The mappings clamp their frames to what a frame header can carry; the
  // sender sends frameLength() bytes of them, so it must match.
  frameLength_ = std::min<std::uint32_t>(frameLength, Data::kMaxFrameLength);

  // Built once: the other slots copy its frames and share its table. It
  // reads the positions shifted into the screen frame as it goes.
  mappings_[0]->keepRecords(false);
  mappings_[0]->shiftPositions(-visitor.minX(), -visitor.minY());
  mappings_[0]->initFromTopologyData(coordinates, frameLength, width_, height_);
  mappings_[0]->setCorrection(correction);
  for (unsigned slot = 1; slot < kSlots; ++slot) mappings_[slot] = mappings_[0]->clone();
  if (placed != nullptr) *placed = std::move(coordinates);
  // The blank picture of a set-up needs no complete cycle.
  sent_.assign(frameCount(), 1);
  unsent_ = 0;
  fresh_ = false;
  repeated_ = false;
  repairing_ = false;
  for (auto& picture : pictureIn_) picture.store(0);
  added_.store(0);
  taken_.store(0);
  frameIndex_ = 0;
  state_.store(stateOf(0, 1, 0));
  overwritten_.store(0, std::memory_order_relaxed);
  return true;
}

std::size_t Buffer::framesFor(const TopologyData<CoordinatesData>& coordinates, Mode mode,
                              unsigned frameLength) {
  std::uint32_t (*slotSizeOf)(ModuleType) = nullptr;
  switch (mode) {
    case MaskMode:
      slotSizeOf = MaskData::typeSlotSize;
      break;
    case RgbMode:
      slotSizeOf = RGBData::typeSlotSize;
      break;
    case VideoMode:
      slotSizeOf = VideoData::typeSlotSize;
      break;
  }
  if (slotSizeOf == nullptr) return 0;
  std::uint32_t slot = 0;
  for (const auto& entry : coordinates) {
    if (entry.second.valid) slot = std::max(slot, slotSizeOf(entry.second.type));
  }
  return Data::framesFor(coordinates.size(), slot, frameLength);
}

Buffer::Added Buffer::addImage(const unsigned char* image, unsigned length, Data::Format format,
                               std::uint32_t rowBytes) {
  std::uint32_t state = state_.load();
  // Claim the write slot: while it is marked ready the sender may take it.
  // A failed swap means the sender moved; look again.
  while ((state & kReady) != 0) {
    if (state_.compare_exchange_weak(state, state & ~kReady)) {
      overwritten_.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  const std::uint32_t write = writeOf(state_.load());
  if (!mappings_[write]) return Ignored;
  mappings_[write]->setRowBytes(rowBytes == 0 ? 4 * width_ : rowBytes);
  mappings_[write]->update(image, length, format);
  const std::uint64_t number = added_.load() + 1;
  pictureIn_[write].store(number);
  added_.store(number);
  const std::uint32_t next = (write + 1) % kSlots;
  state = state_.load();
  for (;;) {
    // Only the sender changes the word now, and only its read slot.
    const std::uint32_t read = readOf(state);
    if (next != read) {
      if (state_.compare_exchange_weak(state, stateOf(read, next, 0))) return HandedOver;
    } else if (state_.compare_exchange_weak(state, stateOf(read, write, kReady))) {
      return Kept;
    }
  }
}

void Buffer::land() {
  // Taken to be sent; markSkipped() says otherwise right after.
  fresh_ = frameIndex_ < sent_.size() && sent_[frameIndex_] == 0;
  if (fresh_) {
    sent_[frameIndex_] = 1;
    --unsent_;
  }
}

bool Buffer::pictureWaiting() const {
  const std::uint32_t state = state_.load();
  return (readOf(state) + 1) % kSlots != writeOf(state) || (state & kReady) != 0;
}

void Buffer::markSkipped() {
  if (!fresh_) return;
  fresh_ = false;
  sent_[frameIndex_] = 0;
  ++unsent_;
}

std::size_t Buffer::copyFrames(std::uint8_t* out, std::size_t capacity) const {
  const std::size_t frames = frameCount();
  const std::size_t length = mappings_[0] ? mappings_[0]->frameLength() : 0;
  if (frames == 0 || length == 0) return 0;
  const std::size_t n = std::min(capacity / length, frames) * length;
  const Data* mapping = mappings_[readOf(state_.load())].get();
  std::copy(mapping->frame(0), mapping->frame(0) + n, out);
  return n;
}

const std::uint8_t* Buffer::nextFrame() {
  const std::size_t frames = frameCount();
  if (frames == 0) return nullptr;
  if (repairing_) {
    // After a cycle that left frames out: those frames alone, then on.
    std::size_t i = frameIndex_ + 1;
    while (i < frames && sent_[i] != 0) ++i;
    if (i < frames) {
      frameIndex_ = static_cast<std::uint32_t>(i);
      land();
      return mappings_[readOf(state_.load())]->frame(frameIndex_);
    }
    repairing_ = false;
  } else if (frameIndex_ + 1 < frames) {
    ++frameIndex_;
    land();
    return mappings_[readOf(state_.load())]->frame(frameIndex_);
  } else if (unsent_ > 0 && !repeated_ && pictureWaiting()) {
    std::size_t i = 0;
    while (i < frames && sent_[i] != 0) ++i;
    repeated_ = true;
    repairing_ = true;
    frameIndex_ = static_cast<std::uint32_t>(i);
    land();
    return mappings_[readOf(state_.load())]->frame(frameIndex_);
  }
  frameIndex_ = 0;
  std::uint32_t state = state_.load();
  for (;;) {
    const std::uint32_t read = readOf(state);
    const std::uint32_t write = writeOf(state);
    const std::uint32_t next = (read + 1) % kSlots;
    if (next != write) {
      // A handed-over image waits in the next slot.
      if (state_.compare_exchange_weak(state, stateOf(next, write, state & kReady))) break;
    } else if ((state & kReady) != 0) {
      // The writer is done with its slot and could not move on: take it,
      // and leave the writer the slot after it, which nobody reads.
      if (state_.compare_exchange_weak(state, stateOf(write, (write + 1) % kSlots, 0))) break;
    } else {
      land();  // nothing new: the same picture again
      return mappings_[readOf(state)]->frame(frameIndex_);
    }
  }
  const std::uint32_t read = readOf(state_.load());
  taken_.store(pictureIn_[read].load());
  std::fill(sent_.begin(), sent_.end(), 0);
  unsent_ = static_cast<std::uint32_t>(sent_.size());
  repeated_ = false;
  repairing_ = false;
  land();
  return mappings_[read]->frame(frameIndex_);
}

}  // namespace lc
