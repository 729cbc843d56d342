#include "topology/TopologyComputation.h"

#include <algorithm>

namespace lc {

namespace {
uint16_t word(const uint8_t* record, uint32_t index) {
  return uint16_t(record[2 * index] | (record[2 * index + 1] << 8));
}
}  // namespace

TopologyComputation::TopologyComputation(Communication& communication)
    : TopologyComputation(communication, Timing{}) {}

TopologyComputation::TopologyComputation(Communication& communication, Timing timing)
    : communication_(communication), timing_(timing) {}

void TopologyComputation::prepare(ModuleType relayType, ModuleType tileType) {
  relayType_ = relayType;
  tileType_ = tileType;
  requestPending_ = true;
  done_ = false;
  maxTotal_ = 0;
  count_ = 0;
  maxChannels_ = std::max(channelCount(relayType), channelCount(tileType));
  recordSize_ = 4 + 4 * maxChannels_;
  topology_.clear();
}

bool TopologyComputation::update(ModuleType relayType, ModuleType tileType) {
  prepare(relayType, tileType);
  start_ = std::chrono::steady_clock::now();
  listener_.setCommunication(communication_);
  bool result = false;
  for (;;) {
    if (done_) {
      result = true;
      break;
    }
    if (!processEvent()) break;
  }
  communication_.removeEventListener(listener_);
  return result;
}

void TopologyComputation::cancel() {
  sendStop_.raise();
  listener_.closeEvent();
}

bool TopologyComputation::processEvent() {
  if (std::chrono::steady_clock::now() - start_ >= timing_.limit) return false;
  if (listener_.waitEvent(event_, timing_.waitMs) != EventListener::Taken) return false;
  switch (event_.kind) {
    case Event::Data:
      if (!done_) topologyInit(event_.data, std::min<uint32_t>(event_.length, Event::kMaxData));
      return true;
    case Event::Status:
      // Only the first status after the start asks.
      if (requestPending_) {
        if (!communication_.sendFrame(Frame::Request, nullptr, 0, &sendStop_)) return false;
        requestPending_ = false;
      }
      return true;
    case Event::Closed:
    default:
      return false;
  }
}

void TopologyComputation::restart() {
  topology_.clear();
  count_ = 0;
  maxTotal_ = 0;
}

void TopologyComputation::topologyInit(const uint8_t* payload, uint32_t length) {
  if (payload == nullptr || length < recordSize_) return;
  const uint32_t m = maxChannels_;
  for (uint32_t at = 0; length - at >= recordSize_; at += recordSize_) {
    const uint8_t* record = payload + at;
    const uint32_t total = word(record, 0);
    const uint32_t id = word(record, 1);
    const ModuleType type = typeOf(id);
    if (total == 0) return;
    maxTotal_ = std::max(maxTotal_, total);

    if (id != count_) {
      if (id == 0 && count_ != 0 && maxTotal_ == count_) {
        log_.info("Topology computed.");
        done_ = true;
        return;
      }
      restart();  // "Received bad topology."
      return;
    }

    // Only the module's own channels are read, and a neighbour must be
    // another module of the announced cycle: a link to an id the cycle never
    // reaches (or to the module itself) would leave a module without a
    // record in the graph.
    const uint32_t channels = std::min(channelCount(type), m);
    for (uint32_t j = 0; j < channels; ++j) {
      if (word(record, 2 + j) == 0) continue;
      const uint32_t neighbour = word(record, 2 + m + j);
      if (neighbour >= maxTotal_ || neighbour == id) {
        restart();  // "Received bad topology."
        return;
      }
    }

    topology_.newModule(type, id);
    for (uint32_t j = 0; j < channels; ++j) {
      const uint16_t kind = word(record, 2 + j);
      if (kind == 0) continue;
      const uint32_t neighbour = word(record, 2 + m + j);
      topology_.addNeighbour(id, j, typeOf(neighbour), neighbour, kind == 2);
    }
    ++count_;
  }
}

}  // namespace lc
