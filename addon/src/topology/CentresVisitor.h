#pragma once

// Places the centre of every tile reached by a walk, and nothing else, by
// the same rules as OrientedVisitor and CoordinatesVisitor. It keeps each
// module's orientation and centre in vectors indexed by Module::slot()
// rather than in maps by id, and the LED and sensor positions are never
// computed: the occupancy matrix of an installation of thousands of tiles
// needs only the centres, and the maps' lookups and nodes were most of its
// cost.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "topology/CoordinatesData.h"
#include "topology/GraphVisitor.h"
#include "topology/OrientedData.h"

namespace lc {

class CentresVisitor : public GraphVisitor {
 public:
  // `moduleCount`: the size of the topology walked (the tables grow past it
  // should a larger one be walked); `angle`: the installation's rotation in
  // degrees.
  CentresVisitor(std::size_t moduleCount, std::uint32_t angle);

  void enter(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  // Centres of the tiles in the order the walk entered them.
  const std::vector<TileCentre>& centres() const { return centres_; }

 private:
  struct Placed {
    OrientedData turned;
    TileCentre centre;
  };

  Placed& at(std::uint32_t slot);

  std::vector<Placed> placed_;
  std::vector<TileCentre> centres_;
  std::uint32_t angle_;
};

}  // namespace lc
