#include "script/ComBridgeAddon.h"

#include <string>

#include "script/ScriptFrame.h"

namespace lc {

class ComBridgeAddonWorker : public script::ProgressWorker<uint16_t> {
 public:
  ComBridgeAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                       ComBridgeAddon& owner)
      : ProgressWorker(callback, {self, com}), owner_(owner), bridge_(*owner.bridge_) {}

 protected:
  void execute() override {
    bool reported = false;
    ComBridge::State state;
    while ((state = bridge_.run()) != ComBridge::Stopped) {
      if (state != ComBridge::Waiting || reported) continue;
      reported = true;
      // 0 when a stop came in between: that run is ending, nothing to tell.
      uint16_t port = bridge_.getPort();
      if (port != 0) send(&port, 1);
    }
  }

  void abandon() override { bridge_.stop(); }

  void onProgress(Napi::Env env, const uint16_t* items, size_t count) override {
    for (size_t i = 0; i < count; ++i) {
      call(env, {env.Undefined(), Napi::Number::New(env, 0), Napi::Number::New(env, items[i])});
    }
  }

  void onComplete(Napi::Env env) override {
    // A worker that never got its thread left the run armed.
    bridge_.finish();
    owner_.busy_ = false;
    // Why the bridge ended, last, when it logged why.
    if (hasReason())
      call(env, {env.Undefined(), Napi::Number::New(env, 1), reason(env)});
    else
      call(env, {env.Undefined(), Napi::Number::New(env, 1)});
  }

 private:
  ComBridgeAddon& owner_;
  ComBridge& bridge_;
};

Napi::Object ComBridgeAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<ComBridgeAddon>(env, exports, "ComBridge", "ComBridgeAddon",
                                             {InstanceMethod("start", &ComBridgeAddon::start),
                                              InstanceMethod("stop", &ComBridgeAddon::stop),
                                              InstanceMethod("getPort", &ComBridgeAddon::getPort)});
}

ComBridgeAddon::ComBridgeAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<ComBridgeAddon>(info) {
  if (com_.take(info[0])) bridge_ = std::make_unique<ComBridge>(*com_.link());
}

Napi::Value ComBridgeAddon::start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Function callback;
  Napi::Object options;
  if (!script::readFunction(info, 0, "callback", callback) ||
      !script::readOptions(info, 1, "options", options)) {
    return env.Undefined();
  }
  std::string host = ComBridge::kDefaultHost;
  uint32_t port = ComBridge::kDefaultPort;
  if (!script::readProperty(options, "host", "options.host", script::readString, host) ||
      !script::readProperty(options, "port", "options.port", script::readPort, port)) {
    return env.Undefined();
  }
  unsigned char octets[4];
  if (host.find('\0') != std::string::npos || !SimpleSocket::pton4(host.c_str(), octets)) {
    Napi::TypeError::New(env, "options.host must be a dotted-quad IPv4 address")
        .ThrowAsJavaScriptException();
    return env.Undefined();
  }
  if (!bridge_ || busy_ || !bridge_->start(host, uint16_t(port))) {
    return Napi::Boolean::New(env, false);
  }
  busy_ = true;
  auto* worker =
      new ComBridgeAddonWorker(callback, info.This().As<Napi::Object>(), com_.object(), *this);
  worker->queue();
  if (env.IsExceptionPending()) {
    // No worker: nothing will end the run that start armed.
    bridge_->finish();
    busy_ = false;
    return env.Undefined();
  }
  return Napi::Boolean::New(env, true);
}

Napi::Value ComBridgeAddon::stop(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), bridge_ && bridge_->stop());
}

Napi::Value ComBridgeAddon::getPort(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), bridge_ ? bridge_->getPort() : 0);
}

}  // namespace lc
