#include "topology/JsonVisitor.h"

#include "topology/Module.h"

namespace lc {

void JsonVisitor::enter(const Module& module) {
  out_ << "[";
  print(module);
}

void JsonVisitor::quit(const Module&) { out_ << "\n]" << std::endl; }

void JsonVisitor::enter(const Module&, const Module& module) {
  out_ << ",";
  print(module);
}

void JsonVisitor::print(const Module& module) {
  out_ << "\n\t{\n"
       << "\t\t\"id\": " << module.id() << ",\n"
       << "\t\t\"type\": " << static_cast<unsigned>(module.type()) << ",\n"
       << "\t\t\"neighbours\":\n\t\t[";
  bool first = true;
  for (std::uint32_t channel : module.links()) {
    const Module* neighbour = module.neighbour(channel);
    // "child" names the modules that declared this one their parent.
    const bool child = neighbour->parent() != nullptr && neighbour->parent()->id() == module.id();
    if (!first) out_ << ",";
    first = false;
    out_ << "\n\t\t\t{\"channel\": " << channel << ", \"id\": " << neighbour->id()
         << ", \"child\": " << (child ? 1 : 0) << "}";
  }
  out_ << "\n\t\t]\n\t}";
}

}  // namespace lc
