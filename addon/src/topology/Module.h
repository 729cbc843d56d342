#pragma once

// One node of an installation graph: a relay or a tile with the neighbour
// joined on each of its channels and the order in which the links were made.

#include <array>
#include <cstdint>
#include <vector>

#include "topology/ModuleType.h"

namespace lc {

class Module {
 public:
  // `slot`: the module's place among those of its topology (see slot()).
  Module(ModuleType type, std::uint32_t id, std::uint32_t slot = 0);

  // Joins `other` on `channel`. The first link on a channel stays; a channel
  // the module does not have (an unknown type has none) is refused. Returns
  // whether the link was stored.
  bool addNeighbour(Module& other, std::uint32_t channel, bool child);

  std::uint32_t id() const { return id_; }
  // A dense index, below the size of the topology that holds the module and
  // distinct within it: walks keep per-module state in vectors indexed by
  // it, since ids are arbitrary 32-bit values and map lookups by id
  // dominated the cost of a walk over thousands of tiles.
  std::uint32_t slot() const { return slot_; }
  ModuleType type() const { return type_; }
  unsigned channelCount() const { return channelCount_; }
  const Module* parent() const { return parent_; }
  void setParent(const Module* parent) { parent_ = parent; }

  // The module joined on a channel; nullptr when none or no such channel.
  const Module* neighbour(std::uint32_t channel) const {
    return channel < channelCount_ ? neighbours_[channel] : nullptr;
  }
  // Channels with a neighbour, in the order the links were made.
  const std::vector<std::uint32_t>& links() const { return links_; }

  // The first channel, in link order, joined to the module with id `other`;
  // channelCount() when none is.
  std::uint32_t facingChannel(std::uint32_t other) const;
  // The same for a module of the same topology, where ids and modules are
  // one to one: it compares addresses and so reads no neighbour.
  std::uint32_t facingChannel(const Module& other) const;

 private:
  std::uint32_t id_;
  std::uint32_t slot_;
  const Module* parent_ = nullptr;
  ModuleType type_;
  std::uint8_t channelCount_;
  std::array<const Module*, kMaxChannels> neighbours_{};
  std::vector<std::uint32_t> links_;
};

}  // namespace lc
