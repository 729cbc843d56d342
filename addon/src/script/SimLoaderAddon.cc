#include "script/SimLoaderAddon.h"

#include "script/ComAddon.h"
#include "script/SdSenderAddon.h"

namespace lc {

Napi::Object SimLoaderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<SimLoaderAddon>(env, exports, "SimLoader", "SimLoader",
                                             {InstanceMethod("send", &SimLoaderAddon::send),
                                              InstanceMethod("cancel", &SimLoaderAddon::cancel)});
}

SimLoaderAddon::SimLoaderAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<SimLoaderAddon>(info) {
  link_ = ComAddon::unwrap(info[0]);
  if (link_ == nullptr) return;
  com_ = Napi::Persistent(info[0].As<Napi::Object>());
}

Napi::Value SimLoaderAddon::send(const Napi::CallbackInfo& info) {
  if (link_ == nullptr) return info.Env().Undefined();
  SdSenderAddonWorker::queueSend(info, com_.Value(), *link_, SdSenderAddonWorker::SimulatorTime,
                                 operations_);
  return info.Env().Undefined();
}

}  // namespace lc
