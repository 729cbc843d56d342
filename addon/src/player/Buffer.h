#pragma once

// The player's three pixel mappings, used as a ring: the writer (the script
// thread adding images) only touches the mapping at writeSlot, the sender
// (the player's worker) only reads the one at readSlot, and neither index is
// ever moved onto the other. Both indices live in one atomic word with a
// "ready" mark, changed by compare-and-swap, so that the sender can also take
// a finished image the writer could not hand over (its next slot was being
// sent): otherwise the last image of a quick succession would never be shown.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "player/Data.h"
#include "topology/CoordinatesData.h"
#include "topology/Topology.h"
#include "topology/TopologyData.h"
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
  // With `placed`, the placement it computed is moved there, for a caller
  // that needs it too: the LEDs in screenX/screenY and the sensors in
  // sensorCopyX/sensorCopyY, in the layout frame, nothing else.
  bool initScreen(const Topology& topology, unsigned angle, Mode mode, unsigned frameLength,
                  const Correction& correction = Correction(),
                  TopologyData<CoordinatesData>* placed = nullptr);

  // Frames per picture that initScreen would lay out in `mode` for the
  // placed installation `coordinates`, without building a mapping; 0 for
  // a mode that names none.
  static std::size_t framesFor(const TopologyData<CoordinatesData>& coordinates, Mode mode,
                               unsigned frameLength);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::uint32_t frameLength() const { return frameLength_; }
  std::uint32_t frameIndex() const { return frameIndex_; }
  std::uint32_t writeSlot() const { return writeOf(state_.load()); }
  std::uint32_t readSlot() const { return readOf(state_.load()); }
  // The mapping in slot 0, 1 or 2; nullptr before the first set-up.
  Data* mapping(unsigned slot) const { return slot < kSlots ? mappings_[slot].get() : nullptr; }
  // Frames per picture (the same for all three mappings).
  std::size_t frameCount() const { return mappings_[0] ? mappings_[0]->frameCount() : 0; }

  // What became of an image: Ignored (no mapping yet), Kept (written, but the
  // next slot is being sent: the sender takes it at a cycle end unless the
  // next image overwrites it first) or HandedOver. Only Ignored converts to
  // false.
  enum Added : unsigned { Ignored = 0, Kept = 1, HandedOver = 2 };

  // Writer side: writes one image into the write slot's mapping, then hands
  // it over by moving writeSlot on, unless the next slot is being sent.
  // Image rows are `rowBytes` apart; 0 means 4 x width().
  Added addImage(const unsigned char* image, unsigned length, Data::Format format,
                 std::uint32_t rowBytes = 0);
  // Kept images overwritten by a later one before the sender took them,
  // since the last set-up.
  std::uint64_t overwritten() const { return overwritten_.load(std::memory_order_relaxed); }
  // Pictures written since the last set-up; the last one written is
  // picture number added().
  std::uint64_t added() const { return added_.load(); }
  // The number of the picture the sender last took (began a cycle of), 0
  // before the first: every frame of it now goes out, and the writer can
  // no longer change it. Numbers of overwritten pictures are never taken.
  std::uint64_t taken() const { return taken_.load(); }

  // The frames of the picture being sent, frame after frame, into `out`
  // (frameCount() x frameLength() bytes when it has room); returns the bytes
  // copied, 0 before the first set-up. For the writer's thread: the writer
  // never writes the slot being read, so the copy is one whole picture.
  std::size_t copyFrames(std::uint8_t* out, std::size_t capacity) const;

  // Sender side: moves to the next frame of the picture; after the last
  // frame it starts the cycle again, from the next mapping when the writer
  // has handed one over, or else from a kept image. Returns the frame
  // (frameLength() bytes), or nullptr when there is none.
  const std::uint8_t* nextFrame();
  // Sender side: the frame nextFrame() just gave was not sent (its slot was
  // left out). When a next picture waits at the cycle end, the frames left
  // out are sent once more, those alone, before it: every picture taken then
  // reaches the relay whole, even when shown for a single cycle. With
  // nothing new the cycle simply repeats, in order, as it always did.
  void markSkipped();

 private:
  void land();
  // Whether the writer handed over a picture that the next cycle end takes.
  bool pictureWaiting() const;

  std::unique_ptr<Data> mappings_[kSlots];
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t frameIndex_ = 0;
  // Bits 0-1 readSlot, bits 2-3 writeSlot, bit 4 set when the write slot
  // holds a kept image the sender may take.
  static constexpr std::uint32_t kReady = 16;
  static std::uint32_t readOf(std::uint32_t state) { return state & 3; }
  static std::uint32_t writeOf(std::uint32_t state) { return (state >> 2) & 3; }
  static std::uint32_t stateOf(std::uint32_t read, std::uint32_t write, std::uint32_t ready) {
    return read | (write << 2) | ready;
  }
  std::atomic<std::uint32_t> state_{stateOf(0, 1, 0)};
  std::atomic<std::uint64_t> overwritten_{0};
  // The picture number in each slot, written by the writer before it hands
  // the slot over, read by the sender once it took the slot.
  std::atomic<std::uint64_t> pictureIn_[kSlots] = {};
  std::atomic<std::uint64_t> added_{0};
  std::atomic<std::uint64_t> taken_{0};
  std::uint32_t frameLength_ = 0;
  // Sender only: which frames of the picture being sent went out at least
  // once since it was taken, how many did not yet, whether the frame last
  // given was its first time, whether its left-out frames were sent again
  // (once only), and whether that is going on.
  std::vector<std::uint8_t> sent_;
  std::uint32_t unsent_ = 0;
  bool fresh_ = false;
  bool repeated_ = false;
  bool repairing_ = false;
  LogRef log_{"streaming"};
};

}  // namespace lc
