#include "script/SimLoaderAddon.h"

#include "script/ComAddon.h"
#include "script/SdSenderAddon.h"

namespace lc {

Napi::Object SimLoaderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<SimLoaderAddon>(env, exports, "SimLoader", "SimLoader",
                                             {InstanceMethod("send", &SimLoaderAddon::send)});
}

SimLoaderAddon::SimLoaderAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<SimLoaderAddon>(info) {
  link_ = ComAddon::unwrap(info[0]);
  if (link_ == nullptr) return;
  com_ = Napi::Persistent(info[0].As<Napi::Object>());
  sender_ = std::make_unique<SdSender>(*link_);
}

Napi::Value SimLoaderAddon::send(const Napi::CallbackInfo& info) {
  SdSenderAddonWorker::queueSend(info, com_.Value(), *sender_, *link_,
                                 SdSenderAddonWorker::SimulatorTime);
  return info.Env().Undefined();
}

}  // namespace lc
