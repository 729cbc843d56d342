#include "script/TopAddon.h"

#include <exception>
#include <string>
#include <vector>

#include "script/ScriptFrame.h"

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

Napi::Object TopAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<TopAddon>(env, exports, "Topology", "Topology",
                                       {InstanceMethod("getTop", &TopAddon::getTop),
                                        InstanceMethod("getMatrix", &TopAddon::getMatrix)});
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

}  // namespace lc
