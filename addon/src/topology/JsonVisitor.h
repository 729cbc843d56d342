#pragma once

// Writes the topology document: a JSON array with one object per module
// reached from the root, in walk order, in a fixed tab-indented layout that
// stored documents and the script side rely on byte for byte.

#include <ostream>

#include "topology/GraphVisitor.h"

namespace lc {

class JsonVisitor : public GraphVisitor {
 public:
  explicit JsonVisitor(std::ostream& out) : out_(out) {}

  void enter(const Module& module) override;
  void quit(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  // One module object, without a leading comma.
  void print(const Module& module);

 private:
  std::ostream& out_;
};

}  // namespace lc
