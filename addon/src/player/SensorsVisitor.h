#pragma once

// Lays every sensor of an installation on one grid: the rows are the
// distinct y positions and the columns the distinct x positions of all
// sensors. Walked from the relay after the coordinates were computed, it
// gives each module's sensors their cell index in the grid, row by row:
// layout()[module id][sensor] = index, or -1 where a sensor has no cell.

#include <cstdint>
#include <utility>
#include <vector>

#include "topology/CoordinatesData.h"
#include "topology/GraphVisitor.h"
#include "topology/TopologyData.h"

namespace lc {

class SensorsVisitor : public GraphVisitor {
 public:
  struct Cell {
    float x;
    bool occupied;
    std::uint8_t sensor;
    std::uint32_t module;
  };
  // One grid row. Every line holds a cell for every x seen so far, in
  // ascending x.
  struct Line {
    float y;
    std::vector<Cell> cells;
  };

  explicit SensorsVisitor(const TopologyData<CoordinatesData>& coordinates)
      : coordinates_(&coordinates) {}

  void enter(const Module& module) override;
  void quit(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  void computeSensors(const Module& module);

  const std::vector<Line>& lines() const { return lines_; }
  // One list per row, made on asking.
  std::vector<std::vector<std::int32_t>> layout() const;
  // The same rows end to end, layoutStride() entries each (maxSensors()),
  // moved out: layout() is empty afterwards. One block where a list per
  // module was a thousand allocations on a large installation.
  std::vector<std::int32_t> takeFlatLayout() { return std::move(cells_); }
  std::size_t layoutRows() const { return rows_; }
  std::uint32_t layoutStride() const { return maxSensors_; }
  std::uint32_t visited() const { return visited_; }
  std::uint32_t maxSensors() const { return maxSensors_; }
  // Module ids from the relay are 16-bit; a larger id (which only a
  // hand-written document can carry) gets no row rather than a huge layout.
  static constexpr std::size_t kMaxRows = 0x10000;
  // Grid size: rows are lines, columns the cells every line has.
  std::uint32_t rowCount() const { return static_cast<std::uint32_t>(lines_.size()); }
  std::uint32_t columnCount() const {
    return lines_.empty() ? 0 : static_cast<std::uint32_t>(lines_.front().cells.size());
  }

 private:
  // A sensor's position, in the order of the walk, until the grid is laid
  // out when the walk ends.
  struct Placed {
    float x;
    float y;
    std::uint32_t module;
    std::uint8_t sensor;
  };

  const TopologyData<CoordinatesData>* coordinates_;
  std::vector<Line> lines_;
  std::vector<Placed> placed_;
  std::vector<std::int32_t> cells_;  // the layout's rows end to end
  std::uint32_t visited_ = 0;
  std::uint32_t maxSensors_ = 0;
  // Rows of layout: one past the largest module id visited, so that ids
  // that are sparse or larger than the module count still have a row.
  std::size_t rows_ = 0;
};

}  // namespace lc
