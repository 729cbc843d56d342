#include "script/LogAddon.h"

#include <atomic>
#include <vector>

#include "script/ScriptFrame.h"

namespace lc {

namespace {

// Lines queued beyond this while the script thread is busy are dropped and
// counted: the threads that log never wait for the script.
constexpr std::size_t kTapCapacity = 4096;

// The thread-safe function of the current tap; one per process.
std::atomic<napi_threadsafe_function> currentTap{nullptr};

void wakeTap(void* context) {
  napi_call_threadsafe_function(static_cast<napi_threadsafe_function>(context), nullptr,
                                napi_tsfn_nonblocking);
}

void deliverLines(napi_env env, napi_value callback, void*, void*) {
  if (env == nullptr || callback == nullptr) return;
  std::vector<Log::Line> lines;
  const uint64_t dropped = Log::log().takeLines(lines);
  if (lines.empty() && dropped == 0) return;
  Napi::Env napiEnv(env);
  Napi::HandleScope scope(napiEnv);
  Napi::Array array = Napi::Array::New(napiEnv, lines.size());
  for (uint32_t i = 0; i < lines.size(); ++i) {
    Napi::Object line = Napi::Object::New(napiEnv);
    line.Set("level", lines[i].error ? "ERROR" : "INFO");
    line.Set("time", Napi::Number::New(napiEnv, double(lines[i].timeMs)));
    line.Set("source", lines[i].source);
    line.Set("message", lines[i].message);
    array.Set(i, line);
  }
  napi_value args[2] = {array, Napi::Number::New(napiEnv, double(dropped))};
  napi_value result;
  napi_call_function(env, napiEnv.Undefined(), callback, 2, args, &result);
}

// Told to the finalizer, which runs when the function goes (released, or its
// runtime ending).
struct TapHolder {
  napi_threadsafe_function tsfn = nullptr;
};

void tapGone(napi_env, void* data, void*) {
  auto* holder = static_cast<TapHolder*>(data);
  napi_threadsafe_function expected = holder->tsfn;
  delete holder;
  if (currentTap.compare_exchange_strong(expected, nullptr)) Log::log().setTap(nullptr, nullptr, 0);
}

void untap() {
  napi_threadsafe_function old = currentTap.exchange(nullptr);
  if (old == nullptr) return;
  // No wake reaches the function once the tap is off.
  Log::log().setTap(nullptr, nullptr, 0);
  napi_release_threadsafe_function(old, napi_tsfn_abort);
}

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
       InstanceMethod("flush", &LogAddon::flush), StaticMethod("setMode", &LogAddon::setMode),
       StaticMethod("tap", &LogAddon::tap), StaticMethod("setConsole", &LogAddon::setConsole)});
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

Napi::Value LogAddon::tap(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info[0].IsUndefined() || info[0].IsNull()) {
    untap();
    return env.Undefined();
  }
  Napi::Function callback;
  if (!script::readFunction(info, 0, "callback", callback)) return env.Undefined();
  untap();
  napi_value name;
  napi_threadsafe_function tsfn = nullptr;
  auto* holder = new TapHolder();
  if (napi_create_string_utf8(env, "lc-logs", NAPI_AUTO_LENGTH, &name) != napi_ok ||
      napi_create_threadsafe_function(env, callback, nullptr, name, 0, 1, holder, tapGone, nullptr,
                                      deliverLines, &tsfn) != napi_ok) {
    delete holder;
    if (!env.IsExceptionPending()) {
      Napi::Error::New(env, "could not take the log lines").ThrowAsJavaScriptException();
    }
    return env.Undefined();
  }
  holder->tsfn = tsfn;
  // The tap must not keep the process alive by itself.
  napi_unref_threadsafe_function(env, tsfn);
  currentTap.store(tsfn);
  Log::log().setTap(wakeTap, tsfn, kTapCapacity);
  return env.Undefined();
}

Napi::Value LogAddon::setConsole(const Napi::CallbackInfo& info) {
  bool on = true;
  if (!script::readBoolean(info[0], "on", on)) return info.Env().Undefined();
  Log::log().setConsole(on);
  return info.Env().Undefined();
}

}  // namespace lc
