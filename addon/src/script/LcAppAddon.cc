#include "script/LcAppAddon.h"

#include <exception>
#include <string>
#include <vector>

#include "script/ScriptFrame.h"

namespace lc {

namespace {
// Marks script objects made by this class, so that unwrap refuses others.
constexpr napi_type_tag kLcAppTag = {0x6c63417070416464ull, 0x8f3c2a51d7e04b19ull};
}  // namespace

Napi::Object LcAppAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<LcAppAddon>(env, exports, "LcApp", "LcApp",
                                         {InstanceMethod("openFromFile", &LcAppAddon::openFromFile),
                                          InstanceMethod("getTypes", &LcAppAddon::getTypes)});
}

LcAppAddon::LcAppAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<LcAppAddon>(info) {
  script::tagObject(info, kLcAppTag);
}

LcApp* LcAppAddon::unwrap(Napi::Value value) {
  LcAppAddon* wrapper = script::unwrapTagged<LcAppAddon>(value, kLcAppTag, "LcApp");
  return wrapper ? &wrapper->app_ : nullptr;
}

// Synchronous: a package is small and the script side wants the answer at once.
Napi::Value LcAppAddon::openFromFile(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::string path;
  if (!script::readString(info, 0, "path", path)) return Napi::Boolean::New(env, false);
  bool opened = false;
  try {
    opened = app_.openFromFile(path) == LcApp::Opened;
  } catch (const std::exception&) {
    opened = false;  // out of memory on a huge file: a failure like any other
  }
  return Napi::Boolean::New(env, opened);
}

// The tags of the module types the package holds an image for, in
// ascending type id, so a script can check a package against a topology.
Napi::Value LcAppAddon::getTypes(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const std::vector<uint8_t> ids = app_.getIds();
  Napi::Array types = Napi::Array::New(env, ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    types.Set(uint32_t(i), Napi::String::New(env, tagFromType(ids[i])));
  }
  return types;
}

}  // namespace lc
