#pragma once

// A pixel mapping: the cycle of pixel-frame payloads the player sends, and
// for every LED on the screen the image pixel it shows and the place in a
// frame its value goes. Built once per set-up from the screen positions of
// the LEDs, then fed image after image by update().
//
// The frames live in one contiguous block, frame after frame. Pixel records
// hold byte offsets into that block rather than pointers, so a rebuild can
// never leave a record pointing at freed memory, and every offset is checked
// against its own slot when the record is made.
//
// update() does not read the pixel records: they carry positions it never
// needs. It walks a source table instead, in which LEDs that follow each
// other in a slot form a run whose targets follow from its start, and a
// run's image offsets are described by strided stretches where they follow
// a pattern. On a large installation that keeps the per-frame working set
// in the cache, reads rows of pixels a word pair at a time, and lets a
// run's bits be built in a register.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "player/Correction.h"
#include "topology/CoordinatesData.h"
#include "topology/ModuleType.h"
#include "topology/TopologyData.h"

namespace lc {

class Data {
 public:
  // Byte order of the image pixels; pixel byte 3 is never read.
  enum Format : unsigned { RGB = 0, BGR = 1 };

  // A frame's payload length travels in a u16 header field.
  static constexpr std::uint32_t kMaxFrameLength = 0xffff;
  // Bytes of the frame number at the start of every frame.
  static constexpr std::uint32_t kHeaderLength = 2;

  virtual ~Data() = default;

  // Rebuilds the frames and the pixel records from the translated
  // coordinates. LEDs outside width x height get no record.
  virtual void initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                    std::uint32_t frameLength, std::uint32_t width,
                                    std::uint32_t height) = 0;
  // Writes one image (4-byte pixels, rows as setRowBytes() last said) into the frames
  // in one pass. LEDs whose pixel lies past `length` keep their value.
  virtual void update(const unsigned char* image, unsigned length, Format format) = 0;
  // A mapping with the same frames and correction, sharing this one's
  // source table (which a later rebuild of either never changes in place):
  // a player's three slots differ only in their frames.
  virtual std::unique_ptr<Data> clone() const = 0;

  // Whether initFromTopologyData keeps the record of every LED it placed
  // (pixels()). update() never reads them; a player does not keep them,
  // since at 100 000 LEDs they were megabytes per mapping.
  void keepRecords(bool keep) { keepRecords_ = keep; }
  // A shift that initFromTopologyData adds to every LED position it reads
  // (0 until set): the player hands over its layout positions and the
  // shift into the screen frame, which saves a pass that writes them
  // shifted. x + shift is the sum a TranslateVisitor would have stored.
  void shiftPositions(float x, float y) {
    shiftX_ = x;
    shiftY_ = y;
  }

  // Frames one picture takes with `moduleCount` slots of `slotSize` bytes
  // (0 counts as 1) in frames of `frameLength` bytes, as a rebuild lays
  // them out.
  static std::size_t framesFor(std::size_t moduleCount, std::uint32_t slotSize,
                               std::uint32_t frameLength);

  // Bytes from one image row to the next that update() reads: 4 x width
  // after a rebuild, more when the image is a rectangle of a wider picture.
  // A change rewrites the source tables in place, once, so that the kernels
  // read the wider picture directly. `rowBytes` below 4 x width is ignored.
  void setRowBytes(std::uint32_t rowBytes);

  // The colour correction every later update() applies; kept across
  // rebuilds.
  void setCorrection(const Correction& correction) { correction_ = correction; }
  const Correction& correction() const { return correction_; }

  std::size_t frameCount() const { return frameCount_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Frame `index` (below frameCount()): frameLength() bytes, ready to send.
  const std::uint8_t* frame(std::size_t index) const {
    return bytes_.data() + index * frameLength_;
  }
  std::uint32_t width() const { return width_; }
  // Bytes per module in a frame, and modules per frame (0 when not even one
  // slot fits in a frame).
  std::uint32_t slotSize() const { return slotSize_; }
  std::uint32_t modulesPerFrame() const { return modulesPerFrame_; }

 protected:
  // Image offset a pixel record reads from when it can never be inside an
  // image: p + 2 is then the largest u32, at or past any image length.
  static constexpr std::uint32_t kUnreachable = 0xffffffffu - 2;

  // Source offset of an LED that gets no value: off the screen, or past
  // what its slot holds. No image offset has it (they stop at kUnreachable).
  static constexpr std::uint32_t kNoSource = 0xffffffffu;

  // What rebuild() tells a mapping about one module: for each of its first
  // `count` LEDs the offset of its pixel in an image, or kNoSource.
  struct ModuleLeds {
    const CoordinatesData* coordinates;  // screenX/screenY hold the LEDs' positions
    std::uint32_t slot;                  // offset of the module's slot in the frame block
    std::uint32_t count;
    const std::uint32_t* source;
  };

  // Lays out the frames for slots of `slotSizeOf(type)` bytes, numbers them,
  // and calls `place` for every valid module.
  // Records made by `place` must stay inside the slot: LED k of a type has
  // its value there when k < fitting(type) (LEDs take their bits in index
  // order).
  template <typename SlotSizeOf, typename Fitting, typename Place>
  void rebuild(const TopologyData<CoordinatesData>& coordinates, std::uint32_t frameLength,
               std::uint32_t width, std::uint32_t height, SlotSizeOf slotSizeOf, Fitting fitting,
               Place place);

  // Calls f(led, x, y, source) for every LED of `m` that has a source, in
  // order, at its shifted position: how a mapping that keeps records makes
  // them.
  template <typename F>
  void forEachPlaced(const ModuleLeds& m, F f) const {
    for (std::uint32_t k = 0; k < m.count; ++k) {
      if (m.source[k] != kNoSource) {
        f(k, m.coordinates->screenX[k] + shiftX_, m.coordinates->screenY[k] + shiftY_, m.source[k]);
      }
    }
  }

  std::uint8_t* bytes() { return bytes_.data(); }
  // Calls table.restride(to) for every source table of the mapping.
  virtual void restrideTables(std::uint32_t to) = 0;

  Correction correction_;
  bool keepRecords_ = true;
  float shiftX_ = 0;
  float shiftY_ = 0;

  // Consecutive LEDs k, k + 1, ... of one module slot, all on the screen.
  struct Run {
    std::uint32_t slot;          // offset of the module's slot in the frame block
    std::uint32_t firstLed;      // LED index of the first LED
    std::uint32_t count;         // LEDs in the run
    std::uint32_t firstStretch;  // index of its first entry in stretches
    std::uint32_t endStretch;    // one past its last
    std::uint32_t maxSource;     // largest image offset the run reads
  };

  // LEDs of a run whose pixels follow a pattern: `rows` rows of `count`
  // LEDs, `step` bytes apart within a row, each row starting `rowStep`
  // bytes after the one before (a tile's grid seen straight or turned). A
  // stretch with no rows is irregular: its `count` LEDs read the offsets
  // at sources[start], one each. Walking a pattern needs no per-LED table,
  // which on a large installation is as much memory traffic as the image.
  struct Stretch {
    std::uint32_t start;  // image offset of the first LED, or index in sources
    std::int32_t step;
    std::int32_t rowStep;
    std::uint32_t count;
    std::uint32_t rows;

    bool irregular() const { return rows == 0; }
    std::uint32_t leds() const { return irregular() ? count : count * rows; }
    // Image offset of row r's first LED.
    std::uint32_t rowStart(std::uint32_t r) const {
      return static_cast<std::uint32_t>(static_cast<std::int64_t>(start) +
                                        static_cast<std::int64_t>(rowStep) * r);
    }
  };

  // A read-only window on a vector of a shared table, used as the vector
  // was: copies of a mapping share the table instead of copying it.
  template <typename T>
  struct View {
    const T* first = nullptr;
    std::size_t count = 0;
    const T* begin() const { return first; }
    const T* end() const { return first + count; }
    const T* data() const { return first; }
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const T& operator[](std::size_t i) const { return first[i]; }
    const T& back() const { return first[count - 1]; }
  };

  // What update() reads: per run, its LEDs' image offsets as stretches.
  struct SourceTable {
    View<Run> runs;
    View<Stretch> stretches;
    View<std::uint32_t> sources;  // offsets of the irregular LEDs

    // Starts a new table for image rows `rowBytes` apart; copies made
    // before keep the old one.
    void clear(std::uint32_t rowBytes);
    // Appends a module's LEDs: one run for each stretch of LEDs that follow
    // each other with a source. finish() must follow the last one.
    void add(const ModuleLeds& m);
    // Lets go of the room the building took.
    void finish();
    // Rewrites every offset for image rows `to` bytes apart (at least the
    // stride the table was built for). The copies sharing the table see
    // the change, and their own restride to the same stride does nothing,
    // so the slots of a player never rewrite one table twice.
    void restride(std::uint32_t to);
    // Calls f(i, source) for LED i of the run, in order.
    template <typename F>
    void forEachSource(const Run& run, F f) const;

   private:
    struct Storage {
      std::vector<Run> runs;
      std::vector<Stretch> stretches;
      std::vector<std::uint32_t> sources;
      std::uint32_t rowBytes = 0;  // image stride the offsets are for
      // The last run's offsets and their image rows, while the table is
      // built: most runs repeat the one before at another place.
      std::vector<std::uint32_t> last;
      std::vector<std::uint32_t> lastRows;
      std::vector<std::uint32_t> rows;
    };
    void addRun(std::uint32_t slot, std::uint32_t firstLed, const std::uint32_t* s,
                std::uint32_t n);
    // Whether the n offsets s make the same moves as the last run's, and
    // then by how many rows they lie past them.
    bool repeatsLast(const std::uint32_t* s, std::uint32_t n, std::uint32_t& rowMove) const;
    void addStretches(Run& run, const std::uint32_t* s, const std::uint32_t* rows);
    void refresh();
    std::shared_ptr<Storage> storage_ = std::make_shared<Storage>();
  };

  // Whether every pixel a run reads lies wholly (four bytes) inside an image
  // of `length` bytes, so its LEDs need no bound check of their own.
  static bool wholeRunFits(const Run& run, unsigned length) {
    return static_cast<std::uint64_t>(run.maxSource) + 4 <= length;
  }
  // Whether an LED reading at `source` is skipped for an image of `length`
  // bytes (its last channel lies past the end): it keeps its value.
  static bool skipped(std::uint32_t source, unsigned length) { return source + 2 >= length; }

 private:
  void layoutFrames(std::size_t moduleCount, std::uint32_t frameLength);
  static void layoutOf(std::size_t moduleCount, std::uint32_t slotSize, std::uint32_t frameLength,
                       std::uint32_t& modulesPerFrame, std::size_t& frameCount);
  // The sources of n LEDs on a screen of fewer than 2^30 pixels, where the
  // offsets take 32-bit arithmetic: one pass without branches, which the
  // compiler turns into vector code. x < w means trunc(x) < width (w is
  // width rounded to a float), so every offset lies inside the screen.
  static void placeSmall(const float* xs, const float* ys, std::uint32_t n, float shiftX,
                         float shiftY, float w, float h, std::uint32_t width, std::uint32_t* out) {
    for (std::uint32_t k = 0; k < n; ++k) {
      const float x = xs[k] + shiftX;
      const float y = ys[k] + shiftY;
      const bool on = (x >= 0) & (x < w) & (y >= 0) & (y < h);
      const auto col = static_cast<std::uint32_t>(static_cast<std::int32_t>(on ? x : 0.0f));
      const auto row = static_cast<std::uint32_t>(static_cast<std::int32_t>(on ? y : 0.0f));
      out[k] = on ? 4 * (col + row * width) : kNoSource;
    }
  }
  static std::uint32_t sourceOffset(float x, float y, std::uint32_t width) {
    // x and y are on the screen (non-negative), so truncation is a floor.
    // The offset is fixed by the width, so it is worked out once here
    // instead of for every image.
    // Both lie below 2^32, where the signed conversion is exact and cheaper.
    const auto col = static_cast<std::uint64_t>(static_cast<std::int64_t>(x));
    const auto row = static_cast<std::uint64_t>(static_cast<std::int64_t>(y));
    const std::uint64_t p = 4 * (col + row * width);
    return p > kUnreachable ? kUnreachable : static_cast<std::uint32_t>(p);
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t frameCount_ = 0;
  std::uint32_t frameLength_ = 0;
  std::uint32_t width_ = 0;
  std::uint32_t slotSize_ = 0;
  std::uint32_t modulesPerFrame_ = 0;
};

template <typename SlotSizeOf, typename Fitting, typename Place>
void Data::rebuild(const TopologyData<CoordinatesData>& coordinates, std::uint32_t frameLength,
                   std::uint32_t width, std::uint32_t height, SlotSizeOf slotSizeOf,
                   Fitting fitting, Place place) {
  // Module ids are taken to run from 0 to n - 1: the tiles find their slot
  // by their id.
  const std::size_t n = coordinates.size();
  std::uint32_t s = 0;
  for (const auto& [id, record] : coordinates) {
    if (id >= n) break;
    if (record.valid && slotSizeOf(record.type) > s) s = slotSizeOf(record.type);
  }
  slotSize_ = s == 0 ? 1 : s;
  width_ = width;
  layoutFrames(n, frameLength);
  if (modulesPerFrame_ == 0) return;

  const std::uint32_t m = modulesPerFrame_;
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  std::uint32_t source[kMaxLeds];
  // Every offset of a screen below 4 GiB fits 32 bits.
  const bool small = 4ull * width * height < kUnreachable;
  // The ids go up, as the records do: one walk of them instead of a search
  // per module.
  auto next = coordinates.begin();
  for (std::size_t q = 0; q < frameCount_; ++q) {
    for (std::uint32_t l = 0; l < m; ++l) {
      const std::size_t id = l + static_cast<std::size_t>(m) * q;
      if (id >= n) return;
      while (next != coordinates.end() && next->first < id) ++next;
      if (next == coordinates.end() || next->first != id) continue;
      const CoordinatesData* c = &next->second;
      if (!c->valid) continue;
      const std::uint32_t leds = static_cast<std::uint32_t>(std::min<std::size_t>(
          {c->screenX.size(), c->screenY.size(), static_cast<std::size_t>(ledCount(c->type)),
           static_cast<std::size_t>(fitting(c->type)), static_cast<std::size_t>(kMaxLeds)}));
      const std::uint32_t slot =
          static_cast<std::uint32_t>(q * frameLength_ + kHeaderLength + l * slotSize_);
      const float* xs = c->screenX.data();
      const float* ys = c->screenY.data();
      if (small) {
        placeSmall(xs, ys, leds, shiftX_, shiftY_, w, h, width, source);
      } else {
        for (std::uint32_t k = 0; k < leds; ++k) {
          const float x = xs[k] + shiftX_;
          const float y = ys[k] + shiftY_;
          const bool on = (x >= 0) & (x < w) & (y >= 0) & (y < h);
          source[k] = on ? sourceOffset(x, y, width) : kNoSource;
        }
      }
      place(ModuleLeds{c, slot, leds, source});
    }
  }
}

template <typename F>
void Data::SourceTable::forEachSource(const Run& run, F f) const {
  std::uint32_t i = 0;
  for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
    const Stretch& st = stretches[k];
    if (st.irregular()) {
      for (std::uint32_t j = 0; j < st.count; ++j) f(i++, sources[st.start + j]);
      continue;
    }
    for (std::uint32_t r = 0; r < st.rows; ++r) {
      std::uint32_t p = st.rowStart(r);
      for (std::uint32_t j = 0; j < st.count; ++j, p += static_cast<std::uint32_t>(st.step)) {
        f(i++, p);
      }
    }
  }
}

}  // namespace lc
