#pragma once

#include <napi.h>

#include <memory>

#include "link/ComBridge.h"
#include "script/ComHold.h"

namespace lc {

// Script class "ComBridge": lends the link of a "Com" to one local TCP
// client at a time. The worker reports (undefined, 0, port) once the port is
// bound and (undefined, 1) when the bridge has stopped.
class ComBridgeAddon : public Napi::ObjectWrap<ComBridgeAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit ComBridgeAddon(const Napi::CallbackInfo& info);

 private:
  friend class ComBridgeAddonWorker;

  Napi::Value start(const Napi::CallbackInfo& info);
  Napi::Value stop(const Napi::CallbackInfo& info);
  Napi::Value getPort(const Napi::CallbackInfo& info);

  // Empty only when the constructor refused its argument.
  std::unique_ptr<ComBridge> bridge_;
  // The "Com" object whose link bridge_ uses outlives this object.
  script::ComHold com_;
  // From a start until its code 1 was delivered (script thread only).
  bool busy_ = false;
};

}  // namespace lc
