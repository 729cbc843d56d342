#include "script/LoaderAddon.h"

#include <exception>

#include "firmware/LcApp.h"
#include "firmware/Loader.h"
#include "script/ComAddon.h"
#include "script/LcAppAddon.h"
#include "script/TransferWorker.h"

namespace lc {

namespace {

class LoaderAddonWorker : public script::TransferWorker {
 public:
  // The loader holds its own copy of the package: a later change to the
  // "LcApp" does not reach an upload under way.
  LoaderAddonWorker(Napi::Function callback, Napi::Function progress, Napi::Object self,
                    Napi::Object com, Sender& sender, Communication& link, const LcApp& app)
      : TransferWorker(callback, progress, {self, com}),
        sender_(sender),
        link_(link),
        loader_(app) {}

 protected:
  bool transfer() override {
    loader_.genAppOnly();
    return sender_.upload(loader_, pacer()) == Sender::Changed;
  }

  void abandon() override {
    link_.retire();
    sender_.cancel();
  }

 private:
  Sender& sender_;
  Communication& link_;
  Loader loader_;
};

}  // namespace

Napi::Object LoaderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<LoaderAddon>(env, exports, "Loader", "Loader",
                                          {InstanceMethod("send", &LoaderAddon::send)});
}

LoaderAddon::LoaderAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<LoaderAddon>(info) {
  link_ = ComAddon::unwrap(info[0]);
  if (link_ == nullptr) return;
  com_ = Napi::Persistent(info[0].As<Napi::Object>());
  sender_ = std::make_unique<Sender>(*link_);
}

Napi::Value LoaderAddon::send(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const LcApp* app = LcAppAddon::unwrap(info[0]);
  if (app == nullptr) return env.Undefined();
  Napi::Function callback, progress;
  if (!script::readTransferCallbacks(info, 1, callback, progress)) return env.Undefined();
  LoaderAddonWorker* worker = nullptr;
  try {
    worker = new LoaderAddonWorker(callback, progress, info.This().As<Napi::Object>(), com_.Value(),
                                   *sender_, *link_, *app);
  } catch (const std::exception&) {
    Napi::Error::New(env, "could not copy the package").ThrowAsJavaScriptException();
    return env.Undefined();
  }
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
