#include "script/ScriptFrame.h"

namespace lc::script {

namespace {
bool fail(const Napi::CallbackInfo& info, const char* what, const char* kind) {
  Napi::TypeError::New(info.Env(), std::string(what) + " must be " + kind)
      .ThrowAsJavaScriptException();
  return false;
}
}  // namespace

bool readUint32(const Napi::CallbackInfo& info, size_t index, const char* what, uint32_t& out) {
  Napi::Value v = info[index];
  if (!v.IsNumber()) return fail(info, what, "a number");
  out = v.As<Napi::Number>().Uint32Value();
  return true;
}

bool readString(const Napi::CallbackInfo& info, size_t index, const char* what, std::string& out) {
  Napi::Value v = info[index];
  if (!v.IsString()) return fail(info, what, "a string");
  out = v.As<Napi::String>().Utf8Value();
  return true;
}

bool readFunction(const Napi::CallbackInfo& info, size_t index, const char* what,
                  Napi::Function& out) {
  Napi::Value v = info[index];
  if (!v.IsFunction()) return fail(info, what, "a function");
  out = v.As<Napi::Function>();
  return true;
}

}  // namespace lc::script
