#pragma once

#include <napi.h>

#include <memory>

#include "commands/CustomApp.h"

namespace lc {

// Script class "CustomApp": messages to and from a custom application on the
// tiles. "start" runs the loop on a worker that reports each received data
// frame as ("concast", Buffer) and the end of the run as "stop".
class CustomAppAddon : public Napi::ObjectWrap<CustomAppAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit CustomAppAddon(const Napi::CallbackInfo& info);

 private:
  friend class CustomAppAddonWorker;

  Napi::Value start(const Napi::CallbackInfo& info);
  Napi::Value stop(const Napi::CallbackInfo& info);
  Napi::Value sendBroadcast(const Napi::CallbackInfo& info);
  Napi::Value sendData(const Napi::CallbackInfo& info);

  // Empty only when the constructor refused its argument.
  std::unique_ptr<CustomApp> app_;
  // The "Com" object whose link app_ uses outlives this object.
  Napi::ObjectReference com_;
  // From a start until its "stop" was delivered (script thread only).
  bool busy_ = false;
};

}  // namespace lc
