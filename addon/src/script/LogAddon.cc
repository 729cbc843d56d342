#include "script/LogAddon.h"

#include "script/ScriptFrame.h"

namespace lc {

namespace {
// A missing or undefined message is logged as "undefined"; any other
// non-string leaves the runtime's error pending and logs an empty line.
std::string messageOf(const Napi::CallbackInfo& info) {
  if (info.Length() < 1 || info[0].IsUndefined()) return "undefined";
  return info[0].As<Napi::String>().Utf8Value();
}
}  // namespace

Napi::Object LogAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<LogAddon>(
      env, exports, "Log", "Log",
      {InstanceMethod("info", &LogAddon::info), InstanceMethod("error", &LogAddon::error),
       InstanceMethod("flush", &LogAddon::flush), StaticMethod("setMode", &LogAddon::setMode)});
}

LogAddon::LogAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<LogAddon>(info), log_(info[0].As<Napi::String>().Utf8Value()) {}

Napi::Value LogAddon::info(const Napi::CallbackInfo& info) {
  log_.info(messageOf(info));
  return info.Env().Undefined();
}

Napi::Value LogAddon::error(const Napi::CallbackInfo& info) {
  log_.error(messageOf(info));
  return info.Env().Undefined();
}

Napi::Value LogAddon::flush(const Napi::CallbackInfo& info) {
  Log::log().flush();
  return info.Env().Undefined();
}

Napi::Value LogAddon::setMode(const Napi::CallbackInfo& info) {
  std::string mode = info[0].As<Napi::String>().Utf8Value();
  if (mode == "full") Log::log().setMode(Log::Full);
  if (mode == "simple") Log::log().setMode(Log::Simple);
  return info.Env().Undefined();
}

}  // namespace lc
