#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "link/Communication.h"
#include "link/EventListener.h"
#include "link/Frame.h"
#include "topology/ModuleType.h"
#include "topology/Topology.h"
#include "util/Log.h"

namespace lc {

// Asks the relay for its installation and builds the graph from the module
// records it streams back. The relay repeats its records as a cycle (ids 0,
// 1, ..., N-1, then 0 again); the graph counts only once a whole cycle came
// in order and the largest announced total matches it. One computation serves
// one update.
class TopologyComputation {
 public:
  // Longest wait for any event, and the bound on the whole update.
  static constexpr unsigned int kWaitMs = 2000;
  static constexpr int kTimeoutSeconds = 10;

  // Unit tests shorten the waits; the defaults are the fixed values.
  struct Timing {
    unsigned int waitMs = kWaitMs;
    std::chrono::milliseconds limit = std::chrono::seconds(kTimeoutSeconds);
  };

  explicit TopologyComputation(Communication& communication);
  TopologyComputation(Communication& communication, Timing timing);
  TopologyComputation(const TopologyComputation&) = delete;
  TopologyComputation& operator=(const TopologyComputation&) = delete;

  // The whole exchange, blocking; true when a complete topology came (it is
  // then in topology()).
  bool update(ModuleType relayType, ModuleType tileType);
  // Takes and handles one event; false ends the update.
  bool processEvent();
  // Decodes one payload of records into the current attempt.
  void topologyInit(const uint8_t* payload, uint32_t length);
  // A fresh attempt for these types, as update begins one.
  void prepare(ModuleType relayType, ModuleType tileType);
  // From any thread: the update ends soon with false.
  void cancel();

  const Topology& topology() const { return topology_; }
  Topology takeTopology() { return std::move(topology_); }
  bool done() const { return done_; }
  uint32_t count() const { return count_; }
  uint32_t recordSize() const { return recordSize_; }

 private:
  // Records that do not continue the run: the attempt starts over.
  void restart();
  ModuleType typeOf(uint32_t id) const { return id == 0 ? relayType_ : tileType_; }

  ModuleType relayType_ = TypeUnknown;
  ModuleType tileType_ = TypeUnknown;
  bool requestPending_ = false;
  bool done_ = false;
  uint32_t maxTotal_ = 0;
  uint32_t count_ = 0;
  uint32_t maxChannels_ = 0;
  uint32_t recordSize_ = 4;
  Topology topology_;
  Communication& communication_;
  EventListener listener_;
  // Raised by cancel, for good: the request then never waits on the relay.
  StopFlag sendStop_;
  LogRef log_{"topology"};
  std::chrono::steady_clock::time_point start_;
  Timing timing_;
  // The event being handled; a member, as it is a few kilobytes.
  Event event_;
};

}  // namespace lc
