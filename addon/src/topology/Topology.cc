#include "topology/Topology.h"

#include <stdexcept>
#include <unordered_set>

namespace lc {

Topology::Topology(const Topology& other) { *this = other; }

Topology& Topology::operator=(const Topology& other) {
  if (this == &other) return *this;
  modules_.clear();
  for (const auto& [id, module] : other.modules_) modules_.emplace(id, Module(module.type(), id));
  for (const auto& [id, source] : other.modules_) {
    Module& target = modules_.at(id);
    for (std::uint32_t channel : source.links()) {
      target.addNeighbour(modules_.at(source.neighbour(channel)->id()), channel, false);
    }
    if (source.parent() != nullptr) target.setParent(&modules_.at(source.parent()->id()));
  }
  return *this;
}

void Topology::newModule(ModuleType type, std::uint32_t id) { modules_.try_emplace(id, type, id); }

void Topology::addNeighbour(std::uint32_t id, std::uint32_t channel, ModuleType type,
                            std::uint32_t neighbourId, bool child) {
  auto it = modules_.find(id);
  if (it == modules_.end()) return;
  Module& module = it->second;
  Module& neighbour = modules_.try_emplace(neighbourId, type, neighbourId).first->second;
  if (child) neighbour.setParent(&module);
  module.addNeighbour(neighbour, channel, child);
}

void Topology::visitAll(GraphVisitor& visitor, std::uint32_t rootId) const {
  auto it = modules_.find(rootId);
  if (it == modules_.end()) throw std::out_of_range("map::at:  key not found");
  const Module& root = it->second;

  struct Frame {
    const Module* module;
    const Module* parent;
    std::size_t next;
  };
  std::vector<Frame> stack;
  std::unordered_set<std::uint32_t> visited;
  visited.insert(root.id());

  visitor.enter(root);
  stack.push_back({&root, nullptr, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<std::uint32_t>& links = top.module->links();
    if (top.next < links.size()) {
      const Module* from = top.module;
      const Module* next = from->neighbour(links[top.next++]);
      // The link back to where the walk came from is met here and skipped.
      if (!visited.insert(next->id()).second) continue;
      visitor.enter(*from, *next);
      stack.push_back({next, from, 0});
      continue;
    }
    Frame done = top;
    stack.pop_back();
    if (done.parent == nullptr) {
      visitor.quit(*done.module);
    } else {
      visitor.quit(*done.parent, *done.module);
    }
  }
}

void Topology::visitLinear(LinearVisitor& visitor) const {
  for (const auto& entry : modules_) visitor.visit(entry.second);
}

const Module* Topology::find(std::uint32_t id) const {
  auto it = modules_.find(id);
  return it == modules_.end() ? nullptr : &it->second;
}

}  // namespace lc
