#include "topology/MatrixVisitor.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "topology/Module.h"

namespace lc {

namespace {

// An unsigned key that orders finite floats as < does and is equal exactly
// when == holds: centres are compared exactly (square tiles sit on
// multiples of ten, which floats hold exactly; delta centres reached by
// different paths could differ in the last bit and then take separate rows
// or columns), and -0 and 0 are one value.
std::uint32_t orderKey(float value) {
  if (value == 0) value = 0;
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

// Gives each value its place among the distinct values (0 for the least),
// in `rank`, and returns how many distinct values there are. A radix sort
// of (key, index) pairs, a byte at a time: linear in the count, and blind
// to the many repeats of a grid's rows and columns.
std::size_t rankDistinct(const std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& rank) {
  const std::size_t n = keys.size();
  rank.assign(n, 0);
  if (n == 0) return 0;
  std::vector<std::uint64_t> order(n);
  std::vector<std::uint64_t> sorted(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = std::uint64_t{keys[i]} << 32 | i;
  for (unsigned shift = 32; shift < 64; shift += 8) {
    std::size_t counts[256] = {};
    for (std::uint64_t entry : order) ++counts[(entry >> shift) & 0xff];
    // A byte all keys share leaves the order as it is.
    if (counts[(order[0] >> shift) & 0xff] == n) continue;
    std::size_t at = 0;
    for (std::size_t& count : counts) {
      const std::size_t here = count;
      count = at;
      at += here;
    }
    for (std::uint64_t entry : order) sorted[counts[(entry >> shift) & 0xff]++] = entry;
    order.swap(sorted);
  }
  std::uint32_t distinct = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && (order[i] >> 32) != (order[i - 1] >> 32)) ++distinct;
    rank[order[i] & 0xffffffffu] = distinct;
  }
  return std::size_t{distinct} + 1;
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
  if (data == nullptr || !data->valid) return;
  centres_.push_back({data->x, data->y});
}

void MatrixVisitor::quit(const Module&) {
  rows_ = rowsOf(centres_);
  centres_.clear();
  centres_.shrink_to_fit();
}

// Ranking the coordinates costs time linear in the tiles whatever the
// shape; filling the grid costs its size, which is the size of the answer.
std::vector<std::string> MatrixVisitor::rowsOf(const std::vector<TileCentre>& centres) {
  // Centres are sums of table offsets and always finite; anything else
  // could not be ordered and takes no cell.
  std::vector<std::uint32_t> xs;
  std::vector<std::uint32_t> ys;
  xs.reserve(centres.size());
  ys.reserve(centres.size());
  for (const TileCentre& c : centres) {
    if (!std::isfinite(c.x) || !std::isfinite(c.y)) continue;
    xs.push_back(orderKey(c.x));
    ys.push_back(orderKey(c.y));
  }
  std::vector<std::uint32_t> column;
  std::vector<std::uint32_t> row;
  const std::size_t width = rankDistinct(xs, column);
  const std::size_t height = rankDistinct(ys, row);
  std::vector<std::string> rows(height, std::string(width, '0'));
  for (std::size_t i = 0; i < column.size(); ++i) rows[row[i]][column[i]] = '1';
  return rows;
}

}  // namespace lc
