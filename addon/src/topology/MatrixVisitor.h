#pragma once

// Builds the occupancy matrix of an installation from its tile centres: one
// row per distinct y, one column per distinct x (both ascending), a "1"
// where a tile stands and a "0" elsewhere. The relays have no cell.

#include <string>
#include <vector>

#include "topology/CoordinatesData.h"
#include "topology/GraphVisitor.h"
#include "topology/TopologyData.h"

namespace lc {

class MatrixVisitor : public GraphVisitor {
 public:
  struct Cell {
    float x;
    bool occupied;
  };
  struct Line {
    float y;
    std::vector<Cell> cells;
  };

  // `coordinates`: the centres a CoordinatesVisitor computed over the same
  // graph.
  explicit MatrixVisitor(const TopologyData<CoordinatesData>& coordinates)
      : coordinates_(coordinates) {}

  void enter(const Module& module) override;
  void quit(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  const std::vector<std::string>& rows() const { return rows_; }

 private:
  void computeMatrix(const Module& module);
  void insertLine(std::size_t position, float x, float y);
  static void addCell(Line& line, float x, bool occupied);

  const TopologyData<CoordinatesData>& coordinates_;
  std::vector<Line> lines_;
  std::vector<std::string> rows_;
};

}  // namespace lc
