#include "script/ChangerAddon.h"

#include "commands/Changer.h"
#include "script/ScriptFrame.h"

namespace lc {

// Each call has its own command object, so that abandoning one call cancels
// that call only.
class ChangerAddonWorker : public script::CommandWorker {
 public:
  ChangerAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                     Communication& link, uint32_t application)
      : CommandWorker(callback, {self, com}),
        link_(link),
        changer_(link),
        application_(application) {}

 protected:
  bool run() override { return changer_.changeTo(application_) == Changer::Done; }
  void abandon() override {
    changer_.cancel();
    link_.retire();
  }
  void cancel() override { changer_.cancel(); }

 private:
  Communication& link_;
  Changer changer_;
  uint32_t application_;
};

Napi::Object ChangerAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<ChangerAddon>(env, exports, "Changer", "Changer",
                                           {InstanceMethod("changeTo", &ChangerAddon::changeTo),
                                            InstanceMethod("cancel", &ChangerAddon::cancel)});
}

ChangerAddon::ChangerAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<ChangerAddon>(info) {
  com_.take(info[0]);
}

Napi::Value ChangerAddon::changeTo(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  uint32_t application = 0;
  Napi::Function callback;
  if (!script::readUint32(info, 0, "application", application) ||
      !script::readFunction(info, 1, "callback", callback)) {
    return env.Undefined();
  }
  if (com_.link() == nullptr) return env.Undefined();
  auto* worker = new ChangerAddonWorker(callback, info.This().As<Napi::Object>(), com_.object(),
                                        *com_.link(), application);
  worker->track(operations_);
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
