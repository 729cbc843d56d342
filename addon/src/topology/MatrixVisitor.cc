#include "topology/MatrixVisitor.h"

#include <algorithm>
#include <cmath>

#include "topology/Module.h"

namespace lc {

namespace {
// Sorted distinct values. Centres are compared exactly: square tiles sit on
// multiples of ten, which floats hold exactly; delta centres reached by
// different paths could differ in the last bit and then take separate rows
// or columns. -0 and 0 are one value, as == has them.
std::vector<float> distinct(std::vector<float> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

std::size_t indexOf(const std::vector<float>& sorted, float value) {
  return static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), value) -
                                  sorted.begin());
}
}  // namespace

void MatrixVisitor::enter(const Module& module) {
  centres_.clear();
  rows_.clear();
  place(module);
}

void MatrixVisitor::enter(const Module&, const Module& module) { place(module); }

void MatrixVisitor::place(const Module& module) {
  const CoordinatesData* data = coordinates_.find(module.id());
  // Centres are sums of table offsets and always finite; anything else
  // could not be ordered and takes no cell.
  if (data == nullptr || !data->valid || !std::isfinite(data->x) || !std::isfinite(data->y)) {
    return;
  }
  centres_.push_back({data->x, data->y});
}

// Sorting the centres once costs O(n log n) whatever the shape; filling
// the grid costs its size, which is the size of the answer.
void MatrixVisitor::quit(const Module&) {
  std::vector<float> xs;
  std::vector<float> ys;
  xs.reserve(centres_.size());
  ys.reserve(centres_.size());
  for (const Centre& c : centres_) {
    xs.push_back(c.x);
    ys.push_back(c.y);
  }
  xs = distinct(std::move(xs));
  ys = distinct(std::move(ys));
  rows_.assign(ys.size(), std::string(xs.size(), '0'));
  for (const Centre& c : centres_) rows_[indexOf(ys, c.y)][indexOf(xs, c.x)] = '1';
  centres_.clear();
  centres_.shrink_to_fit();
}

}  // namespace lc
