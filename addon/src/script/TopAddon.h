#pragma once

#include <napi.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "script/ScriptFrame.h"
#include "script/TopDocument.h"
#include "topology/Topology.h"

namespace lc {

// Script class "Topology": holds one installation graph for the script side,
// built from a topology document or asked from the relay, and hands it out as
// a document or as an occupancy matrix.
class TopAddon : public Napi::ObjectWrap<TopAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit TopAddon(const Napi::CallbackInfo& info);

  // The graph of a "Topology" script object; nullptr, with a TypeError
  // pending, for any other value.
  static Topology* unwrap(Napi::Value value);

 private:
  Napi::Value getTop(const Napi::CallbackInfo& info);
  Napi::Value getMatrix(const Napi::CallbackInfo& info);
  // update(relayTag, tileTag, com, callback(failed))
  Napi::Value update(const Napi::CallbackInfo& info);

  // Throws a script Error and returns false when there is no relay to walk
  // the installation from.
  bool checkRoot(Napi::Env env) const;

  // Replaced whole, on the script thread, when an update completes: readers
  // never see a graph half built.
  Topology topology_;

  // The cells of the last matrices handed out, one byte each, with the
  // angle and the graph's revision they were made at. A small installation's
  // walk cost many times building its rows in the script, and programs ask
  // for the same matrix again and again; the rows themselves are made anew
  // for every call, since the caller may change them.
  struct KeptMatrix {
    std::uint64_t revision = 0;  // 0: none kept
    std::uint32_t angle = 0;
    double height = 0;
    double width = 0;
    Napi::ObjectReference cells;
  };
  // Matrices larger than this are made at every call: their walk is a small
  // part of their cost, and keeping them would hold megabytes per object.
  static constexpr std::size_t kMaxKeptCells = std::size_t{1} << 20;
  std::array<KeptMatrix, 4> kept_;
  std::size_t nextKept_ = 0;
  // The helpers the kept matrices were made with (this object's runtime's).
  topdoc::Helpers* keptHelpers_ = nullptr;
  // A kept matrix is handed out through one call of a helper; this
  // returns it, or nothing when none is kept for the angle.
  Napi::Value keptMatrix(Napi::Env env, std::uint32_t angle);

  friend class TopAddonWorker;
};

}  // namespace lc
