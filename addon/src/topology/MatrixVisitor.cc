#include "topology/MatrixVisitor.h"

#include "topology/Module.h"

namespace lc {

void MatrixVisitor::enter(const Module& module) {
  lines_.clear();
  rows_.clear();
  computeMatrix(module);
}

void MatrixVisitor::quit(const Module&) {
  for (const Line& line : lines_) {
    std::string row;
    row.reserve(line.cells.size());
    for (const Cell& cell : line.cells) row.push_back(cell.occupied ? '1' : '0');
    rows_.push_back(std::move(row));
  }
}

void MatrixVisitor::enter(const Module&, const Module& module) { computeMatrix(module); }

// Centres are compared exactly. Square tiles sit on multiples of ten, which
// floats hold exactly; delta centres reached by different paths could differ
// in the last bit and would then take separate rows or columns.
void MatrixVisitor::computeMatrix(const Module& module) {
  const CoordinatesData* data = coordinates_.find(module.id());
  if (data == nullptr || !data->valid) return;
  const float x = data->x;
  const float y = data->y;
  if (lines_.empty()) {
    lines_.push_back({y, {{x, true}}});
    return;
  }
  bool matched = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (!matched && lines_[i].y > y) {
      insertLine(i, x, y);
      matched = true;
      ++i;  // on to the line that was current before the insertion
    }
    const bool here = lines_[i].y == y;
    addCell(lines_[i], x, here);
    if (here) matched = true;
  }
  if (!matched) insertLine(lines_.size(), x, y);
}

void MatrixVisitor::insertLine(std::size_t position, float x, float y) {
  // Every line holds the same columns, so the first one serves as the model.
  Line line{y, {}};
  line.cells.reserve(lines_.front().cells.size() + 1);
  for (const Cell& cell : lines_.front().cells) line.cells.push_back({cell.x, false});
  addCell(line, x, true);
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(position), std::move(line));
}

void MatrixVisitor::addCell(Line& line, float x, bool occupied) {
  for (auto it = line.cells.begin(); it != line.cells.end(); ++it) {
    if (it->x == x) {
      if (occupied) it->occupied = true;
      return;
    }
    if (it->x > x) {
      line.cells.insert(it, {x, occupied});
      return;
    }
  }
  line.cells.push_back({x, occupied});
}

}  // namespace lc
