#pragma once

#include <napi.h>

#include "commands/Reset.h"
#include "script/ComHold.h"
#include "script/ScriptFrame.h"

namespace lc {

// Script class "Reset": resets the relay, normally or to its fallback.
class ResetAddon : public Napi::ObjectWrap<ResetAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit ResetAddon(const Napi::CallbackInfo& info);

 private:
  // reset(callback(failed)) and fallback(callback(failed))
  Napi::Value reset(const Napi::CallbackInfo& info);
  Napi::Value fallback(const Napi::CallbackInfo& info);
  Napi::Value queue(const Napi::CallbackInfo& info, Reset::ResetType type);

  script::ComHold com_;
};

}  // namespace lc
