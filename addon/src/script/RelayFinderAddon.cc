#include "script/RelayFinderAddon.h"

#include <string>

#include "discovery/RelayFinder.h"
#include "script/ScriptFrame.h"
#include "topology/ModuleType.h"
#include "transport/TcpipDriver.h"

namespace lc {

namespace {

class RelayFinderAddonWorker : public script::ThreadWorker {
 public:
  RelayFinderAddonWorker(Napi::Function callback, Napi::Object owner, ModuleType type)
      : ThreadWorker(callback, {owner}), type_(type) {}

 protected:
  void execute() override {
    finder_.findTCPIP(found_);
    RelayFinder::filter(found_, type_);
  }

  // A worker thread that goes away must not wait out the search.
  void abandon() override { finder_.cancel(); }
  void cancel() override { finder_.cancel(); }

  void onComplete(Napi::Env env) override {
    // Made with its length, so that an element nobody can start stays a hole.
    Napi::Array relays = Napi::Array::New(env, found_.size());
    for (uint32_t i = 0; i < found_.size(); ++i) {
      ComDriver& driver = *found_[i];
      Napi::Object description = Napi::Object::New(env);
      if (driver.getType() == DriverType::TCPIP) {
        const auto& tcp = static_cast<const TcpipDriver&>(driver);
        description.Set("ip", tcp.ip());
        description.Set("name", tcp.name());
        description.Set("port", Napi::Number::New(env, tcp.port()));
        description.Set("type", "TCPIP");
      } else if (driver.getType() == DriverType::SPI) {
        description.Set("type", "SPI");
      } else {
        continue;
      }
      relays.Set(i, description);
    }
    call(env, {env.Undefined(), relays});
  }

 private:
  RelayFinder finder_;
  RelayFinder::Drivers found_;
  ModuleType type_;
};

}  // namespace

Napi::Object RelayFinderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<RelayFinderAddon>(
      env, exports, "RelayFinder", "RelayFinder",
      {InstanceMethod("start", &RelayFinderAddon::start),
       InstanceMethod("cancel", &RelayFinderAddon::cancel)});
}

RelayFinderAddon::RelayFinderAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<RelayFinderAddon>(info) {}

Napi::Value RelayFinderAddon::start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::string tag;
  Napi::Function callback;
  if (!script::readString(info, 0, "relay tag", tag) ||
      !script::readFunction(info, 1, "callback", callback)) {
    return env.Undefined();
  }
  auto* worker =
      new RelayFinderAddonWorker(callback, info.This().As<Napi::Object>(), typeFromTag(tag));
  worker->track(operations_);
  worker->queue();
  if (env.IsExceptionPending()) return env.Undefined();
  return Napi::Boolean::New(env, true);
}

}  // namespace lc
