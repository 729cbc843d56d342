#include "player/SensorsVisitor.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "topology/Module.h"

namespace lc {

void SensorsVisitor::enter(const Module& module) {
  lines_.clear();
  layout_.clear();
  placed_.clear();
  visited_ = 0;
  maxSensors_ = 0;
  rows_ = 0;
  computeSensors(module);
}

void SensorsVisitor::enter(const Module&, const Module& module) { computeSensors(module); }

namespace {

// The distinct values, ascending; -0 and 0 are one value.
std::vector<float> distinct(std::vector<float> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

std::size_t rankOf(const std::vector<float>& sorted, float value) {
  return static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), value) -
                                  sorted.begin());
}

}  // namespace

void SensorsVisitor::quit(const Module&) {
  // The grid is laid out once all sensors are known: rows by the distinct
  // y, columns by the distinct x, each sensor then found by two searches.
  // Placing them one at a time into growing lines cost lines x cells per
  // sensor, seconds for a few thousand tiles.
  std::vector<float> xs;
  std::vector<float> ys;
  xs.reserve(placed_.size());
  ys.reserve(placed_.size());
  for (const Placed& p : placed_) {
    xs.push_back(p.x);
    ys.push_back(p.y);
  }
  xs = distinct(std::move(xs));
  ys = distinct(std::move(ys));
  std::vector<Cell> blank;
  blank.reserve(xs.size());
  for (float x : xs) blank.push_back(Cell{x, false, 0, 0});
  lines_.reserve(ys.size());
  for (float y : ys) lines_.push_back(Line{y, blank});
  // In the order of the walk: of two sensors at one place the later keeps
  // the cell.
  for (const Placed& p : placed_) {
    Cell& cell = lines_[rankOf(ys, p.y)].cells[rankOf(xs, p.x)];
    cell.occupied = true;
    cell.sensor = p.sensor;
    cell.module = p.module;
  }
  placed_.clear();
  placed_.shrink_to_fit();

  layout_.assign(rows_, std::vector<std::int32_t>(maxSensors_, -1));
  for (std::size_t r = 0; r < lines_.size(); ++r) {
    const std::vector<Cell>& cells = lines_[r].cells;
    for (std::size_t q = 0; q < cells.size(); ++q) {
      const Cell& cell = cells[q];
      if (!cell.occupied || cell.module >= layout_.size() || cell.sensor >= maxSensors_) continue;
      layout_[cell.module][cell.sensor] = static_cast<std::int32_t>(q + r * cells.size());
    }
  }
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
