#pragma once

#include <napi.h>

#include "script/ScriptFrame.h"

namespace lc {

// Script class "RelayFinder": each "start" runs one search for relays on its
// own thread and hands the callback one driver description per relay found.
// Searches share nothing, so several may run at once.
class RelayFinderAddon : public Napi::ObjectWrap<RelayFinderAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit RelayFinderAddon(const Napi::CallbackInfo& info);

 private:
  Napi::Value start(const Napi::CallbackInfo& info);
};

}  // namespace lc
