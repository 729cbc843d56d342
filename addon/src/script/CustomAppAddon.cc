#include "script/CustomAppAddon.h"

#include <algorithm>
#include <climits>

#include "script/ScriptFrame.h"

namespace lc {

namespace {

// The bytes of a Buffer or Uint8Array; false with a TypeError otherwise.
bool readBytes(Napi::Value value, const char* what, const unsigned char*& data, unsigned& length) {
  if (!value.IsTypedArray() || value.As<Napi::TypedArray>().TypedArrayType() != napi_uint8_array) {
    Napi::TypeError::New(value.Env(), std::string(what) + " must be a Buffer or Uint8Array")
        .ThrowAsJavaScriptException();
    return false;
  }
  Napi::Uint8Array bytes = value.As<Napi::Uint8Array>();
  data = bytes.Data();
  // The queues keep at most 2048 bytes; a larger count only has to stay large.
  length = unsigned(std::min<size_t>(bytes.ByteLength(), UINT_MAX));
  return true;
}

}  // namespace

class CustomAppAddonWorker : public script::ProgressWorker<CustomApp::Concast> {
 public:
  CustomAppAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                       CustomAppAddon& owner)
      : ProgressWorker(callback, {self, com}, CustomAppAddon::kConcastsWaiting),
        owner_(owner),
        app_(*owner.app_) {}

 protected:
  void execute() override {
    while (app_.run()) {
      // After "stop" the script hears nothing more but the end of the run.
      if (!app_.isConcastReady() || owner_.stopping_.load()) continue;
      send(&app_.getConcast(), 1);
    }
  }

  void abandon() override { app_.stop(); }

  void onProgress(Napi::Env env, const CustomApp::Concast* items, size_t count) override {
    owner_.counters_.concastsDropped = dropped();
    for (size_t i = 0; i < count; ++i) {
      if (owner_.stopping_.load()) return;
      Napi::HandleScope scope(env);
      const CustomApp::Concast& concast = items[i];
      Napi::Buffer<unsigned char> bytes =
          concast.length > 0 ? Napi::Buffer<unsigned char>::Copy(env, concast.data, concast.length)
                             : Napi::Buffer<unsigned char>::New(env, 0);
      if (env.IsExceptionPending()) return;
      ++owner_.counters_.concasts;
      call(env, {env.Undefined(), Napi::String::New(env, "concast"), bytes});
      // A callback that threw: the rest waits for the runtime to report it.
      if (env.IsExceptionPending()) return;
    }
  }

  void onComplete(Napi::Env env) override {
    // A worker that never got its thread left the run armed.
    app_.end();
    owner_.counters_.concastsDropped = dropped();
    owner_.busy_ = false;
    if (hasReason())
      call(env, {env.Undefined(), Napi::String::New(env, "stop"), reason(env)});
    else
      call(env, {env.Undefined(), Napi::String::New(env, "stop")});
  }

 private:
  CustomAppAddon& owner_;
  CustomApp& app_;
};

Napi::Object CustomAppAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<CustomAppAddon>(
      env, exports, "CustomApp", "CustomApp",
      {InstanceMethod("start", &CustomAppAddon::start),
       InstanceMethod("stop", &CustomAppAddon::stop),
       InstanceMethod("sendBroadcast", &CustomAppAddon::sendBroadcast),
       InstanceMethod("sendData", &CustomAppAddon::sendData),
       InstanceMethod("getCounters", &CustomAppAddon::getCounters)});
}

CustomAppAddon::CustomAppAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<CustomAppAddon>(info) {
  if (com_.take(info[0])) app_ = std::make_unique<CustomApp>(*com_.link());
}

Napi::Value CustomAppAddon::start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Function callback;
  if (!script::readFunction(info, 0, "callback", callback)) return env.Undefined();
  if (!app_ || busy_ || !app_->start()) return Napi::Boolean::New(env, false);
  busy_ = true;
  stopping_.store(false);
  counters_ = Counters{};
  auto* worker =
      new CustomAppAddonWorker(callback, info.This().As<Napi::Object>(), com_.object(), *this);
  worker->queue();
  if (env.IsExceptionPending()) {
    // No worker: nothing will end the run that start armed.
    app_->end();
    busy_ = false;
    return env.Undefined();
  }
  return Napi::Boolean::New(env, true);
}

Napi::Value CustomAppAddon::stop(const Napi::CallbackInfo& info) {
  if (busy_) stopping_.store(true);
  if (app_) app_->stop();
  return info.Env().Undefined();
}

Napi::Value CustomAppAddon::sendBroadcast(const Napi::CallbackInfo& info) {
  const unsigned char* data = nullptr;
  unsigned length = 0;
  if (!app_ || !readBytes(info[0], "bytes", data, length)) return info.Env().Undefined();
  return Napi::Boolean::New(info.Env(), app_->sendBroadcast(data, length));
}

Napi::Value CustomAppAddon::sendData(const Napi::CallbackInfo& info) {
  const unsigned char* data = nullptr;
  unsigned length = 0;
  if (!app_ || !readBytes(info[0], "bytes", data, length)) return info.Env().Undefined();
  return Napi::Boolean::New(info.Env(), app_->sendData(data, length));
}

Napi::Value CustomAppAddon::getCounters(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Object out = Napi::Object::New(env);
  out.Set("concasts", static_cast<double>(counters_.concasts));
  out.Set("concastsDropped", static_cast<double>(counters_.concastsDropped));
  return out;
}

}  // namespace lc
