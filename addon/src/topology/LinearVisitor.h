#pragma once

// A visitor that sees every module of a topology once, in ascending id order
// and without regard to the links (Topology::visitLinear).

namespace lc {

class Module;

class LinearVisitor {
 public:
  virtual void visit(const Module& module) = 0;

 protected:
  ~LinearVisitor() = default;
};

}  // namespace lc
