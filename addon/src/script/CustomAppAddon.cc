#include "script/CustomAppAddon.h"

#include <algorithm>
#include <climits>
#include <cstring>

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

// The data frames reach the script without passing through this worker's
// thread: the link's receive loop queues them (ConcastQueue) and asks for a
// drain when the queue was idle; the script thread then takes everything
// waiting in one go. The thread itself only answers status frames.
class CustomAppAddonWorker : public script::ThreadWorker, private ConcastQueue::Sink {
 public:
  CustomAppAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                       CustomAppAddon& owner)
      : ThreadWorker(callback, {self, com}), owner_(owner), app_(*owner.app_) {}

 protected:
  void execute() override {
    // Drains are asked for only while this thread runs: the thread-safe
    // function they go through is released when it ends. The run's end
    // removed the link's hold on the queue before the sink goes.
    struct Detach {
      CustomApp& app;
      ~Detach() {
        app.end();
        app.concasts().setSink(nullptr);
      }
    } detach{app_};
    app_.concasts().setSink(this);
    while (app_.run()) {
    }
  }

  void abandon() override { app_.stop(); }

  void drainWanted() override { postDrain(); }

  // One call into script per batch: the payloads go into one Buffer, and a
  // script loop hands each its own slice. A call from native code per
  // concast cost several times what a socket's 'data' handler spends.
  void onDrain(Napi::Env env) override {
    // The rest of a backlog follows in a later turn of the event loop.
    if (deliver(env)) postDrain();
  }

  // Hands the oldest records waiting, up to kDrainRecords, to the script;
  // true when more are left.
  bool deliver(Napi::Env env) {
    const bool more = app_.concasts().take(batch_, CustomAppAddon::kDrainRecords);
    owner_.counters_.concastsDropped = app_.concasts().dropped();
    // After "stop" the script hears nothing more but the end of the run.
    if (batch_.count() == 0 || owner_.stopping_.load()) return more;
    Napi::Function deliver = owner_.deliverer(env);
    if (deliver.IsEmpty() || owner_.sharedWords_ == nullptr) return more;
    void* slabData = nullptr;
    napi_value slab;
    if (napi_create_buffer(env, batch_.payloadBytes(), &slabData, &slab) != napi_ok) return more;
    Napi::ArrayBuffer endsBuffer = Napi::ArrayBuffer::New(env, batch_.count() * sizeof(uint32_t));
    if (env.IsExceptionPending()) return more;
    auto* ends = static_cast<uint32_t*>(endsBuffer.Data());
    auto* out = static_cast<unsigned char*>(slabData);
    size_t at = 0;
    size_t i = 0;
    batch_.forEach([&](const unsigned char* bytes, uint32_t length) {
      if (length > 0) std::memcpy(out + at, bytes, length);
      at += length;
      ends[i++] = uint32_t(at);
    });
    Napi::Uint32Array endsArray = Napi::Uint32Array::New(env, batch_.count(), endsBuffer, 0);
    if (env.IsExceptionPending()) return more;
    owner_.sharedWords_[1] = 0;
    napi_value args[] = {callback(), receiver(), slab, endsArray, owner_.shared_.Value()};
    napi_value result;
    // A callback that threw: the rest of the batch is left out, and the
    // runtime reports the exception.
    napi_call_function(env, env.Undefined(), deliver, 5, args, &result);
    owner_.counters_.concasts += owner_.sharedWords_[1];
    return more;
  }

  void onComplete(Napi::Env env) override {
    // Everything that arrived before the end comes before "stop".
    while (deliver(env)) {
    }
    // A worker that never got its thread left the run armed.
    app_.end();
    owner_.counters_.concastsDropped = app_.concasts().dropped();
    owner_.busy_ = false;
    if (hasReason())
      call(env, {env.Undefined(), Napi::String::New(env, "stop"), reason(env)});
    else
      call(env, {env.Undefined(), Napi::String::New(env, "stop")});
  }

 private:
  CustomAppAddon& owner_;
  CustomApp& app_;
  // Script thread only: the records of the drain being delivered.
  ConcastQueue::Batch batch_;
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

Napi::Function CustomAppAddon::deliverer(Napi::Env env) {
  if (!deliverer_.IsEmpty()) return deliverer_.Value();
  // A "stop" from inside a callback ends the batch at once: the loop reads
  // the word that stop raises before each call.
  static const char kSource[] =
      "(function deliver(callback, receiver, slab, ends, shared) {\n"
      "  let at = 0;\n"
      "  for (let i = 0; i < ends.length; i++) {\n"
      "    if (shared[0] !== 0) return;\n"
      "    const end = ends[i];\n"
      "    shared[1]++;\n"
      "    callback.call(receiver, undefined, 'concast', slab.subarray(at, end));\n"
      "    at = end;\n"
      "  }\n"
      "})";
  napi_value source;
  napi_value result;
  if (napi_create_string_utf8(env, kSource, sizeof kSource - 1, &source) != napi_ok ||
      napi_run_script(env, source, &result) != napi_ok) {
    return Napi::Function();
  }
  Napi::Uint32Array shared = Napi::Uint32Array::New(env, 2);
  if (env.IsExceptionPending()) return Napi::Function();
  sharedWords_ = shared.Data();
  sharedWords_[0] = stopping_.load() ? 1 : 0;
  shared_ = Napi::Persistent(shared);
  deliverer_ = Napi::Persistent(Napi::Value(env, result).As<Napi::Function>());
  return deliverer_.Value();
}

Napi::Value CustomAppAddon::start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Function callback;
  if (!script::readFunction(info, 0, "callback", callback)) return env.Undefined();
  if (!app_ || busy_ || !app_->start()) return Napi::Boolean::New(env, false);
  busy_ = true;
  stopping_.store(false);
  if (sharedWords_ != nullptr) sharedWords_[0] = 0;
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
  if (busy_) {
    stopping_.store(true);
    if (sharedWords_ != nullptr) sharedWords_[0] = 1;
  }
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
