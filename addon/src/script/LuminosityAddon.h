#pragma once

#include <napi.h>

#include "script/ComHold.h"
#include "script/ScriptFrame.h"

namespace lc {

// Script class "Luminosity": sets the luminosity of the tiles' LEDs.
class LuminosityAddon : public Napi::ObjectWrap<LuminosityAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit LuminosityAddon(const Napi::CallbackInfo& info);

 private:
  // changeTo(level, callback(failed))
  Napi::Value changeTo(const Napi::CallbackInfo& info);

  script::ComHold com_;
};

}  // namespace lc
