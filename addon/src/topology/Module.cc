#include "topology/Module.h"

namespace lc {

Module::Module(ModuleType type, std::uint32_t id, std::uint32_t slot)
    : id_(id),
      slot_(slot),
      type_(type),
      channelCount_(static_cast<std::uint8_t>(lc::channelCount(type))) {}

bool Module::addNeighbour(Module& other, std::uint32_t channel, bool /*child*/) {
  if (channel >= channelCount_ || neighbours_[channel] != nullptr) return false;
  neighbours_[channel] = &other;
  links_.push_back(channel);
  return true;
}

std::uint32_t Module::facingChannel(std::uint32_t other) const {
  for (std::uint32_t channel : links_) {
    if (neighbours_[channel]->id() == other) return channel;
  }
  return channelCount_;
}

std::uint32_t Module::facingChannel(const Module& other) const {
  for (std::uint32_t channel : links_) {
    if (neighbours_[channel] == &other) return channel;
  }
  return channelCount_;
}

}  // namespace lc
