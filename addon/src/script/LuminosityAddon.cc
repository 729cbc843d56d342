#include "script/LuminosityAddon.h"

#include "commands/Luminosity.h"
#include "script/ScriptFrame.h"

namespace lc {

class LuminosityAddonWorker : public script::CommandWorker {
 public:
  LuminosityAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                        Communication& link, uint32_t level)
      : CommandWorker(callback, {self, com}), link_(link), luminosity_(link), level_(level) {}

 protected:
  bool run() override { return luminosity_.changeTo(level_); }
  void abandon() override {
    luminosity_.cancel();
    link_.retire();
  }
  void cancel() override { luminosity_.cancel(); }

 private:
  Communication& link_;
  Luminosity luminosity_;
  uint32_t level_;
};

Napi::Object LuminosityAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<LuminosityAddon>(
      env, exports, "Luminosity", "Luminosity",
      {InstanceMethod("changeTo", &LuminosityAddon::changeTo),
       InstanceMethod("cancel", &LuminosityAddon::cancel)});
}

LuminosityAddon::LuminosityAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<LuminosityAddon>(info) {
  com_.take(info[0]);
}

Napi::Value LuminosityAddon::changeTo(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  uint32_t level = 0;
  Napi::Function callback;
  // Levels above a byte saturate, as the command sends them.
  if (!script::readClamped(info[0], "level", Luminosity::kMaxLevel, level) ||
      !script::readFunction(info, 1, "callback", callback)) {
    return env.Undefined();
  }
  if (com_.link() == nullptr) return env.Undefined();
  auto* worker = new LuminosityAddonWorker(callback, info.This().As<Napi::Object>(), com_.object(),
                                           *com_.link(), level);
  worker->track(operations_);
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
