#include "topology/Topology.h"

#include <json/json.h>

#include <atomic>
#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "topology/CentresVisitor.h"
#include "topology/JsonVisitor.h"
#include "topology/MatrixVisitor.h"
#include "util/Log.h"

namespace lc {

std::uint64_t Topology::freshRevision() {
  // Topologies are built on the script thread and on update threads alike.
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

Topology::Topology(const Topology& other) { *this = other; }

Topology::Topology(Topology&& other) noexcept : modules_(std::move(other.modules_)) {
  other.modules_.clear();
  other.changed();
}

Topology& Topology::operator=(Topology&& other) noexcept {
  if (this == &other) return *this;
  modules_ = std::move(other.modules_);
  other.modules_.clear();
  changed();
  other.changed();
  return *this;
}

Topology& Topology::operator=(const Topology& other) {
  if (this == &other) return *this;
  changed();
  modules_.clear();
  for (const auto& [id, module] : other.modules_) {
    modules_.emplace(id, Module(module.type(), id, module.slot()));
  }
  for (const auto& [id, source] : other.modules_) {
    Module& target = modules_.at(id);
    for (std::uint32_t channel : source.links()) {
      target.addNeighbour(modules_.at(source.neighbour(channel)->id()), channel, false);
    }
    if (source.parent() != nullptr) target.setParent(&modules_.at(source.parent()->id()));
  }
  return *this;
}

// Modules are never removed one by one, so the count before an insertion is
// a slot no other module holds.
void Topology::newModule(ModuleType type, std::uint32_t id) {
  if (modules_.try_emplace(id, type, id, static_cast<std::uint32_t>(modules_.size())).second) {
    changed();
  }
}

void Topology::addNeighbour(std::uint32_t id, std::uint32_t channel, ModuleType type,
                            std::uint32_t neighbourId, bool child) {
  auto it = modules_.find(id);
  if (it == modules_.end()) return;
  changed();
  Module& module = it->second;
  const auto slot = static_cast<std::uint32_t>(modules_.size());
  Module& neighbour = modules_.try_emplace(neighbourId, type, neighbourId, slot).first->second;
  if (child) neighbour.setParent(&module);
  module.addNeighbour(neighbour, channel, child);
}

void Topology::visitAll(GraphVisitor& visitor, std::uint32_t rootId) const {
  auto it = modules_.find(rootId);
  if (it == modules_.end()) throw std::out_of_range("map::at:  key not found");
  const Module& root = it->second;

  // A module's parent in the walk is the frame below its own. The stack of
  // a grid's walk runs nearly as deep as the grid is large: reserved once,
  // it is never copied as it grows, and only the pages it reaches are
  // touched.
  struct Frame {
    const Module* module;
    std::size_t next;
  };
  std::vector<Frame> stack;
  stack.reserve(modules_.size());
  std::vector<bool> visited(modules_.size());
  visited[root.slot()] = true;

  visitor.enter(root);
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<std::uint32_t>& links = top.module->links();
    if (top.next < links.size()) {
      const Module* from = top.module;
      const Module* next = from->neighbour(links[top.next++]);
      // The link back to where the walk came from is met here and skipped.
      if (visited[next->slot()]) continue;
      visited[next->slot()] = true;
      visitor.enter(*from, *next);
      stack.push_back({next, 0});
      continue;
    }
    const Module* done = top.module;
    stack.pop_back();
    if (stack.empty()) {
      visitor.quit(*done);
    } else {
      visitor.quit(*stack.back().module, *done);
    }
  }
}

void Topology::visitLinear(LinearVisitor& visitor) const {
  for (const auto& entry : modules_) visitor.visit(entry.second);
}

std::string Topology::getJSON() const {
  std::ostringstream out;
  JsonVisitor visitor(out);
  visitAll(visitor, 0);
  return out.str();
}

namespace {

const LogRef& log() {
  static const LogRef ref("topology");
  return ref;
}

// A member of an object (checked by the caller), or nullptr.
const Json::Value* member(const Json::Value& object, const char* key) {
  return object.find(key, key + std::char_traits<char>::length(key));
}

bool isUIntMember(const Json::Value& object, const char* key) {
  const Json::Value* value = member(object, key);
  return value != nullptr && value->isUInt();
}

std::uint32_t uintMember(const Json::Value& object, const char* key) {
  return member(object, key)->asUInt();
}

bool parseDocument(const std::string& text, Json::Value& root) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return true;
  } catch (const std::exception& e) {
    // The reader throws past its nesting limit.
    errors = e.what();
  }
  // The reader's report spans several lines; the log keeps one per message.
  std::string oneLine;
  for (char c : errors) {
    if (c == '\n' || c == '\t') c = ' ';
    if (c == ' ' && (oneLine.empty() || oneLine.back() == ' ')) continue;
    oneLine.push_back(c);
  }
  while (!oneLine.empty() && oneLine.back() == ' ') oneLine.pop_back();
  log().error("Topology document is not JSON: ", oneLine);
  return false;
}

bool tooLong(std::size_t modules) {
  log().error("Topology document has ", modules, " modules; module ids name at most ",
              Topology::kMaxModules, ".");
  return false;
}

bool tooManyLinks(std::size_t links) {
  log().error("Topology document has a module with ", links, " neighbours; at most ",
              Topology::kMaxLinks, " are read.");
  return false;
}

}  // namespace

bool Topology::fromJSON(const std::string& text) {
  Json::Value root;
  if (!parseDocument(text, root)) return false;
  std::vector<DocumentModule> document;
  if (root.isArray()) {
    if (root.size() > kMaxModules) return tooLong(root.size());
    document.resize(root.size());
    Json::ArrayIndex i = 0;
    for (const Json::Value& element : root) {
      DocumentModule& module = document[i++];
      module.identified =
          element.isObject() && isUIntMember(element, "id") && isUIntMember(element, "type");
      if (!module.identified) {
        // Nothing past the first unidentified element is read.
        document.resize(i);
        break;
      }
      module.id = uintMember(element, "id");
      module.type = uintMember(element, "type");
      const Json::Value* neighbours = member(element, "neighbours");
      module.hasNeighbours = neighbours != nullptr && neighbours->isArray();
      if (!module.hasNeighbours) continue;
      if (neighbours->size() > kMaxLinks) return tooManyLinks(neighbours->size());
      module.neighbours.reserve(neighbours->size());
      for (const Json::Value& link : *neighbours) {
        DocumentLink out;
        out.wellFormed = link.isObject() && isUIntMember(link, "channel") &&
                         isUIntMember(link, "id") && isUIntMember(link, "child");
        if (!out.wellFormed) {
          module.neighbours.push_back(out);
          break;
        }
        out.channel = uintMember(link, "channel");
        out.id = uintMember(link, "id");
        out.child = uintMember(link, "child");
        module.neighbours.push_back(out);
      }
    }
  } else {
    log().error("Topology document is not a non-empty array.");
    return false;
  }
  return fromDocument(document);
}

bool Topology::fromDocument(const std::vector<DocumentModule>& document) {
  if (document.empty()) {
    log().error("Topology document is not a non-empty array.");
    return false;
  }
  if (document.size() > kMaxModules) return tooLong(document.size());
  for (const DocumentModule& element : document) {
    if (element.neighbours.size() > kMaxLinks) return tooManyLinks(element.neighbours.size());
  }

  // First pass: every element must name its id and type before anything is
  // added, so that a neighbour can be created with its declared type.
  std::unordered_map<std::uint32_t, ModuleType> types;
  for (const DocumentModule& element : document) {
    if (!element.identified) {
      log().error("Topology document has a module without an id and a type.");
      return false;
    }
    types[element.id] = static_cast<ModuleType>(element.type & 0xff);
  }

  for (const DocumentModule& element : document) {
    if (!element.hasNeighbours) {
      log().error("Topology document has a module without neighbours.");
      return false;
    }
    const std::uint32_t id = element.id;
    newModule(static_cast<ModuleType>(element.type & 0xff), id);
    for (const DocumentLink& link : element.neighbours) {
      if (!link.wellFormed) {
        log().error("Topology document has a malformed link on module ", id, ".");
        return false;
      }
      auto type = types.find(link.id);
      // A neighbour no element declares is taken for a relay.
      addNeighbour(id, link.channel, type == types.end() ? ModuleType{TypeRelay} : type->second,
                   link.id, link.child == 1);
    }
  }
  return true;
}

std::vector<std::string> Topology::getMatrix(std::uint32_t angle) const {
  // The matrix reads the centres only, so one walk over dense tables does
  // what a CoordinatesVisitor and a MatrixVisitor walk would.
  CentresVisitor placer(modules_.size(), angle);
  visitAll(placer, 0);
  return MatrixVisitor::rowsOf(placer.centres());
}

const Module* Topology::find(std::uint32_t id) const {
  auto it = modules_.find(id);
  return it == modules_.end() ? nullptr : &it->second;
}

}  // namespace lc
