#include "player/SensorsVisitor.h"

#include <algorithm>

#include "topology/Module.h"

namespace lc {

void SensorsVisitor::enter(const Module& module) {
  lines_.clear();
  layout_.clear();
  visited_ = 0;
  maxSensors_ = 0;
  rows_ = 0;
  computeSensors(module);
}

void SensorsVisitor::enter(const Module&, const Module& module) { computeSensors(module); }

void SensorsVisitor::quit(const Module&) {
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
    computeSensor(module, static_cast<unsigned char>(k), c->sensorCopyX[k], c->sensorCopyY[k]);
  }
}

bool SensorsVisitor::placeInLine(Line& line, float x, float y, std::uint32_t module,
                                 std::uint8_t sensor) {
  const bool here = line.y == y;
  auto it = line.cells.begin();
  while (it != line.cells.end() && it->x < x) ++it;
  if (it != line.cells.end() && it->x == x) {
    if (!here) return false;
    it->occupied = true;
    it->sensor = sensor;
    it->module = module;
    return true;
  }
  line.cells.insert(it, Cell{x, here, sensor, module});
  return here;
}

void SensorsVisitor::computeSensor(const Module& module, unsigned char sensor, float x, float y) {
  if (lines_.empty()) {
    lines_.push_back(Line{y, {Cell{x, true, sensor, module.id()}}});
    return;
  }
  bool matched = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (!matched && y < lines_[i].y) {
      insertLine(i, x, y, module.id(), sensor);
      matched = true;
      ++i;  // the line the new one was put before still needs the column
    }
    if (placeInLine(lines_[i], x, y, module.id(), sensor)) matched = true;
  }
  if (!matched) insertLine(lines_.size(), x, y, module.id(), sensor);
}

void SensorsVisitor::insertLine(std::size_t position, float x, float y, unsigned int module,
                                unsigned char sensor) {
  Line line{y, {}};
  if (!lines_.empty()) {
    line.cells = lines_.front().cells;
    for (Cell& cell : line.cells) cell.occupied = false;
  }
  placeInLine(line, x, y, module, sensor);
  position = std::min(position, lines_.size());
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(position), std::move(line));
}

}  // namespace lc
