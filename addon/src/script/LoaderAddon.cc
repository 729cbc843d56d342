#include "script/LoaderAddon.h"

#include <exception>

#include "firmware/LcApp.h"
#include "firmware/LoaderStream.h"
#include "script/LcAppAddon.h"
#include "script/TransferWorker.h"

namespace lc {

namespace {

class LoaderAddonWorker : public script::TransferWorker {
 public:
  // The stream holds its own copy of the package: a later change to the
  // "LcApp" does not reach an upload under way.
  // Each upload has an uploader of its own, so that cancelling one ends that
  // upload only.
  LoaderAddonWorker(Napi::Function callback, Napi::Function progress, Napi::Object self,
                    Napi::Object com, Communication& link, const LcApp& app)
      : TransferWorker(callback, progress, {self, com}),
        uploader_(link),
        link_(link),
        stream_(app) {}

 protected:
  bool transfer() override {
    stream_.genAppOnly();
    switch (uploader_.upload(stream_, pacer())) {
      case Uploader::Changed:
        return true;
      case Uploader::NotSent:
        setReason("the stream could not be sent: the link is down or a write failed");
        break;
      case Uploader::Closed:
        setReason("the link ended while waiting for the tiles to switch");
        break;
      case Uploader::NoChange:
        setReason("the tiles did not switch to the new application within 25 s");
        break;
    }
    return false;
  }

  void abandon() override {
    link_.retire();
    uploader_.cancel();
  }
  void cancel() override { uploader_.cancel(); }

 private:
  Uploader uploader_;
  Communication& link_;
  LoaderStream stream_;
};

}  // namespace

Napi::Object LoaderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<LoaderAddon>(
      env, exports, "Loader", "Loader",
      {InstanceMethod("send", &LoaderAddon::send), InstanceMethod("cancel", &LoaderAddon::cancel)});
}

LoaderAddon::LoaderAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<LoaderAddon>(info) {
  com_.take(info[0]);
}

Napi::Value LoaderAddon::send(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (com_.link() == nullptr) return env.Undefined();
  const LcApp* app = LcAppAddon::unwrap(info[0]);
  if (app == nullptr) return env.Undefined();
  Napi::Function callback, progress;
  if (!script::readTransferCallbacks(info, 1, callback, progress)) return env.Undefined();
  LoaderAddonWorker* worker = nullptr;
  try {
    worker = new LoaderAddonWorker(callback, progress, info.This().As<Napi::Object>(),
                                   com_.object(), *com_.link(), *app);
  } catch (const std::exception&) {
    Napi::Error::New(env, "could not copy the package").ThrowAsJavaScriptException();
    return env.Undefined();
  }
  worker->track(operations_);
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
