#pragma once

// Small builders of installation graphs for tests.

#include <cstdint>

#include "topology/Topology.h"

namespace lc::test {

// Joins tile `b` (created with `type` when missing) to module `a` both ways:
// a's channel `ca` leads to b, b's channel `cb` back to a. `a` is b's parent.
inline void join(Topology& topology, std::uint32_t a, std::uint32_t ca, std::uint32_t b,
                 std::uint32_t cb, ModuleType type) {
  const Module* from = topology.find(a);
  topology.addNeighbour(a, ca, type, b, true);
  topology.addNeighbour(b, cb, from != nullptr ? from->type() : ModuleType{TypeRelay}, a, false);
}

// A relay (module 0) with one tile of `type` as module 1 on its channel 0.
inline Topology relayWithTile(ModuleType type) {
  Topology topology;
  topology.newModule(TypeRelay, 0);
  join(topology, 0, 0, 1, 0, type);
  return topology;
}

}  // namespace lc::test
