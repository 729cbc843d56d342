#pragma once

// The interface of every computation over an installation graph: the
// depth-first traversal Topology::visitAll calls enter on the way down and
// quit on the way back, for the root and for every other module it reaches.

namespace lc {

class Module;

class GraphVisitor {
 public:
  virtual void enter(const Module& module) = 0;
  virtual void quit(const Module& /*module*/) {}
  virtual void enter(const Module& parent, const Module& module) = 0;
  virtual void quit(const Module& /*parent*/, const Module& /*module*/) {}

 protected:
  // Visitors live on the stack of the operation that runs them and are
  // never deleted through this interface.
  ~GraphVisitor() = default;
};

}  // namespace lc
