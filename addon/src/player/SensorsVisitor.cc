#include "player/SensorsVisitor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "topology/Module.h"

namespace lc {

void SensorsVisitor::enter(const Module& module) {
  lines_.clear();
  cells_.clear();
  placed_.clear();
  visited_ = 0;
  maxSensors_ = 0;
  rows_ = 0;
  computeSensors(module);
}

void SensorsVisitor::enter(const Module&, const Module& module) { computeSensors(module); }

namespace {

// The distinct values of a set of positions, ascending, and the rank of
// each among them; -0 and 0 are one value. A hash of the values' bits
// finds a value's rank in one probe or so, where sorting every position
// and searching the sorted values twice per sensor took most of a
// start on a large installation.
class Ranks {
 public:
  explicit Ranks(std::size_t expected) {
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * expected && bits < 31) ++bits;
    slots_.assign(std::size_t{1} << bits, kEmpty);
    shift_ = 32 - bits;
    mask_ = slots_.size() - 1;
  }

  void insert(float value) {
    const std::uint32_t bits = bitsOf(value);
    std::size_t at = hash(bits);
    while (slots_[at] != kEmpty) {
      if (keys_[slots_[at]] == bits) return;
      at = (at + 1) & mask_;
    }
    slots_[at] = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(bits);
    values_.push_back(value + 0.0f);
  }

  // Orders the values; rankOf() may be asked from then on.
  void order() {
    std::vector<std::uint32_t> order(values_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) { return values_[a] < values_[b]; });
    rank_.assign(values_.size(), 0);
    std::vector<float> sorted(values_.size());
    for (std::uint32_t r = 0; r < order.size(); ++r) {
      rank_[order[r]] = r;
      sorted[r] = values_[order[r]];
    }
    values_ = std::move(sorted);
  }

  // A value that was inserted.
  std::uint32_t rankOf(float value) const {
    const std::uint32_t bits = bitsOf(value);
    std::size_t at = hash(bits);
    while (keys_[slots_[at]] != bits) at = (at + 1) & mask_;
    return rank_[slots_[at]];
  }

  const std::vector<float>& values() const { return values_; }

 private:
  static constexpr std::uint32_t kEmpty = 0xffffffffu;
  static std::uint32_t bitsOf(float value) {
    value += 0.0f;  // -0 becomes 0
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  std::size_t hash(std::uint32_t bits) const {
    return static_cast<std::size_t>((bits * 0x9e3779b1u) >> shift_);
  }

  std::vector<std::uint32_t> slots_;  // index into keys_, or kEmpty
  std::vector<std::uint32_t> keys_;   // the bits of each value, in insertion order
  std::vector<float> values_;         // in insertion order, then ascending
  std::vector<std::uint32_t> rank_;   // per insertion index
  std::size_t mask_ = 0;
  unsigned shift_ = 28;
};

}  // namespace

void SensorsVisitor::quit(const Module&) {
  // The grid is laid out once all sensors are known: rows by the distinct
  // y, columns by the distinct x, each sensor then found by its two ranks.
  // Placing them one at a time into growing lines cost lines x cells per
  // sensor, seconds for a few thousand tiles.
  Ranks xs(placed_.size());
  Ranks ys(placed_.size());
  for (const Placed& p : placed_) {
    xs.insert(p.x);
    ys.insert(p.y);
  }
  xs.order();
  ys.order();
  std::vector<Cell> blank;
  blank.reserve(xs.values().size());
  for (float x : xs.values()) blank.push_back(Cell{x, false, 0, 0});
  lines_.reserve(ys.values().size());
  for (float y : ys.values()) lines_.push_back(Line{y, blank});
  // In the order of the walk: of two sensors at one place the later keeps
  // the cell.
  for (const Placed& p : placed_) {
    Cell& cell = lines_[ys.rankOf(p.y)].cells[xs.rankOf(p.x)];
    cell.occupied = true;
    cell.sensor = p.sensor;
    cell.module = p.module;
  }
  placed_.clear();
  placed_.shrink_to_fit();

  cells_.assign(rows_ * maxSensors_, -1);
  for (std::size_t r = 0; r < lines_.size(); ++r) {
    const std::vector<Cell>& cells = lines_[r].cells;
    for (std::size_t q = 0; q < cells.size(); ++q) {
      const Cell& cell = cells[q];
      if (!cell.occupied || cell.module >= rows_ || cell.sensor >= maxSensors_) continue;
      cells_[cell.module * maxSensors_ + cell.sensor] =
          static_cast<std::int32_t>(q + r * cells.size());
    }
  }
}

std::vector<std::vector<std::int32_t>> SensorsVisitor::layout() const {
  std::vector<std::vector<std::int32_t>> rows;
  if (cells_.size() != rows_ * maxSensors_) return rows;  // taken
  rows.reserve(rows_);
  for (std::size_t r = 0; r < rows_; ++r) {
    const auto first = cells_.begin() + static_cast<std::ptrdiff_t>(r * maxSensors_);
    rows.emplace_back(first, first + maxSensors_);
  }
  return rows;
}

void SensorsVisitor::computeSensors(const Module& module) {
  ++visited_;
  if (module.id() < kMaxRows) {
    rows_ = std::max<std::size_t>(rows_, static_cast<std::size_t>(module.id()) + 1);
  }
  const CoordinatesData* c = coordinates_->find(module.id());
  if (c == nullptr || !c->valid) return;
  const unsigned n = sensorCount(c->type);
  maxSensors_ = std::max(maxSensors_, n);
  // A record with fewer positions than its type has sensors places those it has.
  const std::size_t placed = std::min<std::size_t>(
      {static_cast<std::size_t>(n), c->sensorCopyX.size(), c->sensorCopyY.size()});
  for (std::size_t k = 0; k < placed; ++k) {
    const float x = c->sensorCopyX[k];
    const float y = c->sensorCopyY[k];
    // Positions come from the tile tables; one that is not finite could
    // not be ordered and takes no cell.
    if (!std::isfinite(x) || !std::isfinite(y)) continue;
    placed_.push_back(Placed{x, y, module.id(), static_cast<std::uint8_t>(k)});
  }
}

}  // namespace lc
