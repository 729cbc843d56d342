#pragma once

// The graph of one installation: its modules by id (module 0 is the relay)
// and the links between them, walked depth-first by visitAll for every
// computation over the installation. Also writes and reads the topology
// document and builds the occupancy matrix.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "topology/GraphVisitor.h"
#include "topology/LinearVisitor.h"
#include "topology/Module.h"

namespace lc {

class Topology {
 public:
  // The relay names modules with 16-bit ids, so no installation has more
  // modules; a document beyond it is refused before anything is allocated.
  static constexpr std::size_t kMaxModules = 65536;
  // Entries of one module's "neighbours", far above any module's channels.
  static constexpr std::size_t kMaxLinks = 64;

  Topology() = default;
  // Copies rebuild the links so that they point into the copy's own modules.
  Topology(const Topology& other);
  Topology& operator=(const Topology& other);
  // Moving keeps the map's nodes, so the links stay valid; the emptied
  // source has changed as well.
  Topology(Topology&& other) noexcept;
  Topology& operator=(Topology&& other) noexcept;

  // Adds a module unless one already has the id (whose type then stays).
  void newModule(ModuleType type, std::uint32_t id);

  // Joins module `id` to `neighbourId` on `channel`, creating the neighbour
  // with `type` when it does not exist and making `id` its parent when
  // `child`. Nothing happens when module `id` does not exist; a link on a
  // channel the module does not have is dropped. Only module `id` gains a
  // link: the reverse one comes with the neighbour's own list of links.
  void addNeighbour(std::uint32_t id, std::uint32_t channel, ModuleType type,
                    std::uint32_t neighbourId, bool child);

  // Depth-first walk from `rootId`: each reachable module is entered once,
  // from the first module that reaches it, neighbours in link order. Throws
  // std::out_of_range ("map::at:  key not found") when no module has
  // `rootId`. The walk keeps its own stack, so a long chain of tiles does
  // not exhaust the thread's stack.
  void visitAll(GraphVisitor& visitor, std::uint32_t rootId) const;

  // Every module in ascending id order.
  void visitLinear(LinearVisitor& visitor) const;

  // The topology document of every module reached from module 0. Throws
  // std::out_of_range when there is no module 0.
  std::string getJSON() const;
  // Adds the modules and links of a topology document (nothing is cleared
  // first). False, with a log line, when the text is not JSON or the
  // document has the wrong shape; what was added before the fault stays.
  bool fromJSON(const std::string& text);

  // A topology document already taken apart, for readers that do not go
  // through text (the script class reads the script's array directly). A
  // field that the document does not hold as an unsigned integer is marked
  // so rather than given a value.
  struct DocumentLink {
    bool wellFormed = false;  // an object whose channel, id and child are u32
    std::uint32_t channel = 0;
    std::uint32_t id = 0;
    std::uint32_t child = 0;
  };
  struct DocumentModule {
    bool identified = false;  // an object whose id and type are u32
    std::uint32_t id = 0;
    std::uint32_t type = 0;
    bool hasNeighbours = false;  // its "neighbours" is an array
    std::vector<DocumentLink> neighbours;
  };
  // The same rules and results as fromJSON, for a parsed document.
  bool fromDocument(const std::vector<DocumentModule>& document);
  // Occupancy matrix rows ("0"/"1" strings) of the installation turned by
  // `angle` degrees. Throws std::out_of_range when there is no module 0.
  std::vector<std::string> getMatrix(std::uint32_t angle) const;

  const Module* find(std::uint32_t id) const;
  bool contains(std::uint32_t id) const { return modules_.count(id) != 0; }
  std::size_t size() const { return modules_.size(); }
  bool empty() const { return modules_.empty(); }
  void clear() {
    modules_.clear();
    changed();
  }
  const std::map<std::uint32_t, Module>& modules() const { return modules_; }

  // Names the graph's present state: every change (a module or link added,
  // a document read, clear, an assignment) takes a value that no topology
  // of the process held before, so a result kept with the revision it was
  // computed at is stale exactly when the revision differs. Never 0.
  std::uint64_t revision() const { return revision_; }

 private:
  static std::uint64_t freshRevision();
  void changed() { revision_ = freshRevision(); }

  std::map<std::uint32_t, Module> modules_;
  std::uint64_t revision_ = freshRevision();
};

}  // namespace lc
