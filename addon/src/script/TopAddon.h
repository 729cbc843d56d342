#pragma once

#include <napi.h>

#include "script/ScriptFrame.h"
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

  friend class TopAddonWorker;
};

}  // namespace lc
