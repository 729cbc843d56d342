#pragma once

// Builds the occupancy matrix of an installation from its tile centres: one
// row per distinct y, one column per distinct x (both ascending), a "1"
// where a tile stands and a "0" elsewhere. The relays have no cell.

#include <string>
#include <utility>
#include <vector>

#include "topology/CoordinatesData.h"
#include "topology/GraphVisitor.h"
#include "topology/TopologyData.h"

namespace lc {

class MatrixVisitor : public GraphVisitor {
 public:
  // `coordinates`: the centres a CoordinatesVisitor computed over the same
  // graph.
  explicit MatrixVisitor(const TopologyData<CoordinatesData>& coordinates)
      : coordinates_(coordinates) {}

  void enter(const Module& module) override;
  void quit(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  const std::vector<std::string>& rows() const { return rows_; }
  // Hands the rows over without copying them (a staircase's run to tens of
  // megabytes); rows() is empty afterwards.
  std::vector<std::string> takeRows() { return std::move(rows_); }

  // The rows for a set of tile centres, in any order; centres that are not
  // finite take no cell.
  static std::vector<std::string> rowsOf(const std::vector<TileCentre>& centres);

 private:
  void place(const Module& module);

  const TopologyData<CoordinatesData>& coordinates_;
  std::vector<TileCentre> centres_;
  std::vector<std::string> rows_;
};

}  // namespace lc
