#include "script/SimLoaderAddon.h"

#include "script/SdSenderAddon.h"

namespace lc {

Napi::Object SimLoaderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<SimLoaderAddon>(env, exports, "SimLoader", "SimLoader",
                                             {InstanceMethod("send", &SimLoaderAddon::send),
                                              InstanceMethod("cancel", &SimLoaderAddon::cancel)});
}

SimLoaderAddon::SimLoaderAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<SimLoaderAddon>(info) {
  com_.take(info[0]);
}

Napi::Value SimLoaderAddon::send(const Napi::CallbackInfo& info) {
  SdSenderAddonWorker::queueSend(info, com_, SdSenderAddonWorker::SimulatorTime, operations_);
  return info.Env().Undefined();
}

}  // namespace lc
