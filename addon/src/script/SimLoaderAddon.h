#pragma once

#include <napi.h>

#include <memory>

#include "commands/SdSender.h"
#include "script/ComHold.h"
#include "script/ScriptFrame.h"

namespace lc {

// Script class "SimLoader": sends a file to the simulator, named after the
// UTC time the transfer starts.
class SimLoaderAddon : public Napi::ObjectWrap<SimLoaderAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit SimLoaderAddon(const Napi::CallbackInfo& info);

 private:
  Napi::Value send(const Napi::CallbackInfo& info);

  script::ComHold com_;
};

}  // namespace lc
