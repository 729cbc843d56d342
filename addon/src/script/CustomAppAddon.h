#pragma once

#include <napi.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "commands/CustomApp.h"
#include "script/ComHold.h"

namespace lc {

// Script class "CustomApp": messages to and from a custom application on the
// tiles. "start" runs the loop on a worker that reports each received data
// frame as ("concast", Buffer) and the end of the run as "stop". Records wait
// for a script that is behind up to ConcastQueue::kMaxQueuedBytes (8 MiB,
// each record's bytes plus 4); beyond it the oldest go, counted in
// concastsDropped. A drain goes in one call into the script, up to
// kDrainRecords records; the rest follow in later turns of the event loop.
class CustomAppAddon : public Napi::ObjectWrap<CustomAppAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  // Records one call hands the callback at most. A backlog goes over
  // several turns of the event loop, timers and I/O running between them:
  // at the delivery loop's 0.1 us a record, one call holds the script
  // thread for about 0.4 ms plus what the callback itself spends.
  static constexpr size_t kDrainRecords = 4096;
  explicit CustomAppAddon(const Napi::CallbackInfo& info);

 private:
  friend class CustomAppAddonWorker;

  Napi::Value start(const Napi::CallbackInfo& info);
  Napi::Value stop(const Napi::CallbackInfo& info);
  Napi::Value sendBroadcast(const Napi::CallbackInfo& info);
  Napi::Value sendData(const Napi::CallbackInfo& info);
  Napi::Value getCounters(const Napi::CallbackInfo& info);

  // The script function that hands one batch of concasts to the callback,
  // made on first use; and its shared words: [0] raised by "stop", [1] the
  // concasts it called back with.
  Napi::Function deliverer(Napi::Env env);
  Napi::FunctionReference deliverer_;
  Napi::Reference<Napi::Uint32Array> shared_;
  uint32_t* sharedWords_ = nullptr;

  // Of the current (or last) run, script thread only.
  struct Counters {
    uint64_t concasts = 0;         // delivered as "concast"
    uint64_t concastsDropped = 0;  // left out, oldest first, while the script was behind
  };

  // Empty only when the constructor refused its argument.
  std::unique_ptr<CustomApp> app_;
  // The "Com" object whose link app_ uses outlives this object.
  script::ComHold com_;
  // From a start until its "stop" was delivered (script thread only).
  bool busy_ = false;
  // From a "stop" of the current run; the worker's thread reads it.
  std::atomic<bool> stopping_{false};
  Counters counters_;
};

}  // namespace lc
