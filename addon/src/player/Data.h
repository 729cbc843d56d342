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

  // What rebuild() tells a mapping about one LED on the screen.
  struct Placement {
    float x;
    float y;
    std::uint32_t source;  // offset of the LED's pixel in an image
    std::uint32_t slot;    // offset of the module's slot in the frame block
    std::uint32_t led;     // LED index within the module
    ModuleType type;
  };

  // Lays out the frames for slots of `slotSizeOf(type)` bytes, numbers them,
  // and calls `place` for every LED of a valid module that lies on the
  // screen. Records made by `place` must stay inside the slot; fits(type,
  // led) says whether an LED's value does.
  template <typename SlotSizeOf, typename Fits, typename Place>
  void rebuild(const TopologyData<CoordinatesData>& coordinates, std::uint32_t frameLength,
               std::uint32_t width, std::uint32_t height, SlotSizeOf slotSizeOf, Fits fits,
               Place place);

  std::uint8_t* bytes() { return bytes_.data(); }
  // Calls table.restride(to) for every source table of the mapping.
  virtual void restrideTables(std::uint32_t to) = 0;

  Correction correction_;
  bool keepRecords_ = true;

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
    // Appends an LED, extending the last run when it is the next LED of the
    // same slot. finish() must follow the last add().
    void add(const Placement& p);
    // Turns the offsets gathered by add() into stretches.
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
      std::vector<std::uint32_t> pending;      // per-LED offsets until finish()
      std::vector<std::uint32_t> pendingRows;  // their image rows, while a run closes
      std::uint32_t rowBytes = 0;              // image stride the offsets are for
    };
    void addStretches(Run& run, const std::uint32_t* s);
    // Turns the last run's pending offsets into its stretches.
    void close();
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
  static std::uint32_t sourceOffset(float x, float y, std::uint32_t width) {
    // x and y are on the screen (non-negative), so truncation is a floor.
    // The offset is fixed by the width, so it is worked out once here
    // instead of for every image.
    const std::uint64_t col = static_cast<std::uint64_t>(x);
    const std::uint64_t row = static_cast<std::uint64_t>(y);
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

template <typename SlotSizeOf, typename Fits, typename Place>
void Data::rebuild(const TopologyData<CoordinatesData>& coordinates, std::uint32_t frameLength,
                   std::uint32_t width, std::uint32_t height, SlotSizeOf slotSizeOf, Fits fits,
                   Place place) {
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
      const std::size_t leds = std::min<std::size_t>(
          {c->screenX.size(), c->screenY.size(), static_cast<std::size_t>(ledCount(c->type))});
      const std::uint32_t slot =
          static_cast<std::uint32_t>(q * frameLength_ + kHeaderLength + l * slotSize_);
      for (std::size_t k = 0; k < leds; ++k) {
        const float x = c->screenX[k];
        const float y = c->screenY[k];
        if (!(x >= 0 && x < static_cast<float>(width) && y >= 0 &&
              y < static_cast<float>(height))) {
          continue;
        }
        const std::uint32_t led = static_cast<std::uint32_t>(k);
        if (!fits(c->type, led)) continue;
        place(Placement{x, y, sourceOffset(x, y, width), slot, led, c->type});
      }
    }
  }
}

inline void Data::SourceTable::add(const Placement& p) {
  std::vector<Run>& all = storage_->runs;
  std::vector<std::uint32_t>& pending = storage_->pending;
  if (!all.empty()) {
    Run& last = all.back();
    if (last.slot == p.slot && last.firstLed + last.count == p.led) {
      ++last.count;
      last.maxSource = std::max(last.maxSource, p.source);
      pending.push_back(p.source);
      return;
    }
  }
  close();
  all.push_back(Run{p.slot, p.led, 1, 0, 0, p.source});
  pending.push_back(p.source);
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
