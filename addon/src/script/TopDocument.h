#pragma once

// Topology documents read and written in the script's own engine: a
// document taken apart, or a matrix or document built, through one call
// into helpers compiled once per runtime, instead of one Node-API call per
// value.

#include <napi.h>

#include <cstddef>
#include <vector>

#include "topology/GraphVisitor.h"
#include "topology/Module.h"
#include "topology/Topology.h"

namespace lc {
namespace topdoc {

struct Helpers {
  Napi::FunctionReference read;
  Napi::FunctionReference matrix;
  Napi::FunctionReference top;
};

// One method of the runtime's global JSON object, with the object itself as
// the receiver; false with the runtime's exception pending on failure.
bool jsonMethod(Napi::Env env, const char* name, Napi::Object& json, Napi::Function& method);

// This runtime's helpers, compiled at the first use; nullptr (with nothing
// pending) when they cannot be made, and the callers take the slower road.
Helpers* helpers(Napi::Env env);

// The document of the walk from the relay, as the top helper takes it: the
// same modules, links and values, in the same order, as Topology::getJSON.
class FlatVisitor : public GraphVisitor {
 public:
  void enter(const Module& module) override { add(module); }
  void enter(const Module&, const Module& module) override { add(module); }

  std::vector<double> numbers;
  std::size_t modules = 0;

 private:
  void add(const Module& module) {
    ++modules;
    numbers.push_back(module.id());
    numbers.push_back(static_cast<unsigned>(module.type()));
    numbers.push_back(static_cast<double>(module.links().size()));
    for (std::uint32_t channel : module.links()) {
      const Module* neighbour = module.neighbour(channel);
      // "child" names the modules that declared this one their parent.
      const bool child = neighbour->parent() != nullptr && neighbour->parent()->id() == module.id();
      numbers.push_back(channel);
      numbers.push_back(neighbour->id());
      numbers.push_back(child ? 1 : 0);
    }
  }
};

enum class Read { Done, Unusual, Failed };

// Takes the script's document apart without turning it into text, through
// the read helper.
Read readDocument(const Napi::Value& value, std::vector<Topology::DocumentModule>& document);

}  // namespace topdoc
}  // namespace lc
