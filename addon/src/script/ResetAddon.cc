#include "script/ResetAddon.h"

#include "script/ScriptFrame.h"

namespace lc {

class ResetAddonWorker : public script::CommandWorker {
 public:
  ResetAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                   Communication& link, Reset::ResetType type)
      : CommandWorker(callback, {self, com}), link_(link), reset_(link), type_(type) {}

 protected:
  // The script methods always pass argument 0.
  bool run() override { return reset_.reset(type_, 0); }
  void abandon() override {
    reset_.cancel();
    link_.retire();
  }
  void cancel() override { reset_.cancel(); }

 private:
  Communication& link_;
  Reset reset_;
  Reset::ResetType type_;
};

Napi::Object ResetAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<ResetAddon>(env, exports, "Reset", "Reset",
                                         {InstanceMethod("reset", &ResetAddon::reset),
                                          InstanceMethod("fallback", &ResetAddon::fallback),
                                          InstanceMethod("cancel", &ResetAddon::cancel)});
}

ResetAddon::ResetAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<ResetAddon>(info) {
  com_.take(info[0]);
}

Napi::Value ResetAddon::reset(const Napi::CallbackInfo& info) {
  return queue(info, Reset::Standard);
}

Napi::Value ResetAddon::fallback(const Napi::CallbackInfo& info) {
  return queue(info, Reset::Fallback);
}

Napi::Value ResetAddon::queue(const Napi::CallbackInfo& info, Reset::ResetType type) {
  Napi::Env env = info.Env();
  Napi::Function callback;
  if (!script::readFunction(info, 0, "callback", callback)) return env.Undefined();
  if (com_.link() == nullptr) return env.Undefined();
  auto* worker = new ResetAddonWorker(callback, info.This().As<Napi::Object>(), com_.object(),
                                      *com_.link(), type);
  worker->track(operations_);
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
