#pragma once

// The player's three pixel mappings, used as a ring: the writer (the script
// thread adding images) only touches the mapping at writeSlot, the sender
// (the player's worker) only reads the one at readSlot, and neither index is
// ever moved onto the other. Each side writes its own index and reads the
// other's, so the two are atomics and need no lock.

#include <atomic>
#include <cstdint>
#include <memory>

#include "player/Data.h"
#include "topology/Topology.h"
#include "util/Log.h"

namespace lc {

class Buffer {
 public:
  // Which mapping class the buffer uses.
  enum Mode : unsigned { MaskMode = 0, RgbMode = 1, VideoMode = 2 };
  static constexpr unsigned kSlots = 3;

  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Rebuilds the mappings for `topology` seen at `angle` degrees: mode 0 to
  // 2 makes three new mappings of that class, any other value keeps the
  // present ones. Must not run while images are added or frames sent.
  // Returns false (and logs) when the topology has no relay (module 0) to
  // start from, or there is no mapping to build.
  bool initScreen(const Topology& topology, unsigned angle, Mode mode, unsigned frameLength);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::uint32_t frameLength() const { return frameLength_; }
  std::uint32_t frameIndex() const { return frameIndex_; }
  std::uint32_t writeSlot() const { return writeSlot_.load(); }
  std::uint32_t readSlot() const { return readSlot_.load(); }
  // The mapping in slot 0, 1 or 2; nullptr before the first set-up.
  Data* mapping(unsigned slot) const { return slot < kSlots ? mappings_[slot].get() : nullptr; }
  // Frames per picture (the same for all three mappings).
  std::size_t frameCount() const { return mappings_[0] ? mappings_[0]->frameCount() : 0; }

  // What became of an image: Ignored (no mapping yet), Kept (written, but the
  // next slot is being sent, so the next image will overwrite it) or
  // HandedOver. Only Ignored converts to false.
  enum Added : unsigned { Ignored = 0, Kept = 1, HandedOver = 2 };

  // Writer side: writes one image into the write slot's mapping, then hands
  // it over by moving writeSlot on, unless the next slot is being sent.
  Added addImage(const unsigned char* image, unsigned length, Data::Format format);

  // Sender side: moves to the next frame of the picture; after the last
  // frame it starts the cycle again, from the next mapping when the writer
  // has handed one over. Returns the frame (frameLength() bytes), or nullptr
  // when there is none.
  const std::uint8_t* nextFrame();

 private:
  std::unique_ptr<Data> mappings_[kSlots];
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t frameIndex_ = 0;
  std::atomic<std::uint32_t> writeSlot_{1};
  std::atomic<std::uint32_t> readSlot_{0};
  std::uint32_t frameLength_ = 0;
  LogRef log_{"streaming"};
};

}  // namespace lc
