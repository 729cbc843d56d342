#pragma once

#include <napi.h>

#include "util/Log.h"

namespace lc {

// Script class "Log": script code writes through the module's own logger.
class LogAddon : public Napi::ObjectWrap<LogAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit LogAddon(const Napi::CallbackInfo& info);

 private:
  Napi::Value info(const Napi::CallbackInfo& info);
  Napi::Value error(const Napi::CallbackInfo& info);
  Napi::Value flush(const Napi::CallbackInfo& info);
  static Napi::Value setMode(const Napi::CallbackInfo& info);
  // tap(callback(lines, dropped)) hands every line to the script; tap(null)
  // stops. setConsole(on) switches the standard error output.
  static Napi::Value tap(const Napi::CallbackInfo& info);
  static Napi::Value setConsole(const Napi::CallbackInfo& info);

  LogRef log_;
};

}  // namespace lc
