#pragma once

#include <napi.h>

#include <memory>

#include "link/Communication.h"
#include "transport/ComDriver.h"

namespace lc {

struct ComRun;

// Script class "Com": the script side's handle on one relay link. It owns the
// link and the driver of the current connection; a progress worker connects,
// watches the status frames and reports 0 (first status), 2 (state changed)
// and 1 (the run ended).
class ComAddon : public Napi::ObjectWrap<ComAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  // The link of a "Com" script object; nullptr with a pending TypeError when
  // the value is anything else.
  static Communication* unwrap(Napi::Value value);

  explicit ComAddon(const Napi::CallbackInfo& info);
  ~ComAddon() override;

 private:
  Napi::Value start(const Napi::CallbackInfo& info);
  Napi::Value ready(const Napi::CallbackInfo& info);
  Napi::Value stop(const Napi::CallbackInfo& info);
  Napi::Value getVersion(const Napi::CallbackInfo& info);
  Napi::Value getState(const Napi::CallbackInfo& info);
  // Runs on the process's "exit" event: ends every link of that runtime, so
  // that exiting does not wait on workers whose relays are still talking.
  static Napi::Value retireAll(const Napi::CallbackInfo& info);

  // The link goes last: the destructor stops and joins it first, then the
  // driver it was using is destroyed, then the link itself.
  Communication link_;
  std::unique_ptr<ComDriver> driver_;
  std::shared_ptr<ComRun> run_;
};

}  // namespace lc
