#include "script/TopAddon.h"

#include <exception>
#include <string>
#include <vector>

#include "script/ComAddon.h"
#include "script/ScriptFrame.h"
#include "topology/TopologyComputation.h"

namespace lc {

namespace {

constexpr napi_type_tag kTopologyTag = {0x6c63746f706f6c6fULL, 0x6779000000000001ULL};

// One method of the runtime's global JSON object, with the object itself as
// the receiver; false with the runtime's exception pending on failure.
bool jsonMethod(Napi::Env env, const char* name, Napi::Object& json, Napi::Function& method) {
  Napi::Value global = env.Global().Get("JSON");
  if (env.IsExceptionPending() || !global.IsObject()) return false;
  json = global.As<Napi::Object>();
  Napi::Value value = json.Get(name);
  if (env.IsExceptionPending() || !value.IsFunction()) return false;
  method = value.As<Napi::Function>();
  return true;
}

}  // namespace

// Runs one computation on its own thread. The graph is built inside the
// computation and moved into the script object only on completion, on the
// script thread.
class TopAddonWorker : public script::CommandWorker {
 public:
  TopAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com, TopAddon& owner,
                 Communication& link, ModuleType relayType, ModuleType tileType)
      : CommandWorker(callback, {self, com}),
        owner_(owner),
        link_(link),
        computation_(link),
        relayType_(relayType),
        tileType_(tileType) {}

 protected:
  bool run() override {
    succeeded_ = computation_.update(relayType_, tileType_);
    return succeeded_;
  }

  void onComplete(Napi::Env env) override {
    if (succeeded_) owner_.topology_ = computation_.takeTopology();
    CommandWorker::onComplete(env);
  }

  void abandon() override {
    computation_.cancel();
    link_.retire();
  }

 private:
  TopAddon& owner_;
  Communication& link_;
  TopologyComputation computation_;
  ModuleType relayType_;
  ModuleType tileType_;
  // Written by the worker's thread before the completion is posted.
  bool succeeded_ = false;
};

Napi::Object TopAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<TopAddon>(env, exports, "Topology", "Topology",
                                       {InstanceMethod("getTop", &TopAddon::getTop),
                                        InstanceMethod("getMatrix", &TopAddon::getMatrix),
                                        InstanceMethod("update", &TopAddon::update)});
}

TopAddon::TopAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<TopAddon>(info) {
  script::tagObject(info, kTopologyTag);
  if (info.Length() < 1 || info[0].IsUndefined()) return;

  Napi::Env env = info.Env();
  Napi::Object json;
  Napi::Function stringify;
  if (!jsonMethod(env, "stringify", json, stringify)) return;
  Napi::Value text = stringify.Call(json, {info[0]});
  // A value that JSON cannot hold (a circular object) leaves its error
  // pending for the caller; one without a JSON form (a function) gives no
  // text and so an empty topology.
  if (env.IsExceptionPending()) return;
  std::string document = text.IsString() ? text.As<Napi::String>().Utf8Value() : std::string();
  // A document that is refused is logged by fromJSON; the object stays
  // usable with what was taken. Only memory exhaustion could throw here; it
  // must not cross into the runtime.
  try {
    topology_.fromJSON(document);
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
  }
}

Topology* TopAddon::unwrap(Napi::Value value) {
  TopAddon* wrapper = script::unwrapTagged<TopAddon>(value, kTopologyTag, "Topology");
  return wrapper != nullptr ? &wrapper->topology_ : nullptr;
}

bool TopAddon::checkRoot(Napi::Env env) const {
  if (topology_.contains(0)) return true;
  Napi::Error::New(env, "Topology has no relay (module 0)").ThrowAsJavaScriptException();
  return false;
}

Napi::Value TopAddon::getTop(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkRoot(env)) return env.Undefined();
  std::string document;
  try {
    document = topology_.getJSON();
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  Napi::Object json;
  Napi::Function parse;
  if (!jsonMethod(env, "parse", json, parse)) return env.Undefined();
  Napi::Value result = parse.Call(json, {Napi::String::New(env, document)});
  if (env.IsExceptionPending()) return env.Undefined();
  return result;
}

Napi::Value TopAddon::getMatrix(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::uint32_t angle = 0;
  if (!script::readAngle(info, 0, "angle", angle)) return env.Undefined();
  if (!checkRoot(env)) return env.Undefined();
  std::vector<std::string> rows;
  try {
    rows = topology_.getMatrix(angle);
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  Napi::Array matrix = Napi::Array::New(env, rows.size());
  for (std::uint32_t i = 0; i < rows.size(); ++i) {
    Napi::Array row = Napi::Array::New(env, rows[i].size());
    for (std::uint32_t j = 0; j < rows[i].size(); ++j) {
      row.Set(j, Napi::Number::New(env, rows[i][j] == '1' ? 1 : 0));
    }
    matrix.Set(i, row);
    if (env.IsExceptionPending()) return env.Undefined();
  }
  return matrix;
}

Napi::Value TopAddon::update(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::string relayTag;
  std::string tileTag;
  Napi::Function callback;
  if (!script::readString(info, 0, "relay tag", relayTag) ||
      !script::readString(info, 1, "tile tag", tileTag)) {
    return env.Undefined();
  }
  Communication* link = ComAddon::unwrap(info[2]);
  if (link == nullptr || !script::readFunction(info, 3, "callback", callback)) {
    return env.Undefined();
  }
  auto* worker =
      new TopAddonWorker(callback, info.This().As<Napi::Object>(), info[2].As<Napi::Object>(),
                         *this, *link, typeFromTag(relayTag), typeFromTag(tileTag));
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
