#pragma once

#include <napi.h>

#include <memory>

#include "firmware/Uploader.h"
#include "script/ComHold.h"
#include "script/ScriptFrame.h"

namespace lc {

// Script class "Loader": uploads an "LcApp" package to the tiles over a
// "Com" link and reports whether they took it.
class LoaderAddon : public Napi::ObjectWrap<LoaderAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit LoaderAddon(const Napi::CallbackInfo& info);

 private:
  Napi::Value send(const Napi::CallbackInfo& info);

  script::ComHold com_;
};

}  // namespace lc
