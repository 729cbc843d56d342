#pragma once

#include <napi.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>

#include "script/ScriptFrame.h"
#include "util/ProgressPacer.h"

namespace lc::script {

// The worker of a transfer (an upload, a file copy): its callback gets one
// boolean, true when it failed, and an optional second function hears how
// far it got, (sent, total), at most once per pacer interval.
class TransferWorker : public CommandWorker {
 protected:
  // `progress` may be empty: no progress is reported then.
  TransferWorker(Napi::Function callback, Napi::Function progress,
                 std::initializer_list<Napi::Object> keep);

  // The transfer itself, on the worker's thread; true on success.
  virtual bool transfer() = 0;
  // What to hand to the core; nullptr when nobody listens.
  ProgressPacer* pacer() { return progress_.IsEmpty() ? nullptr : &pacer_; }

 private:
  struct Report : Message {
    Report(TransferWorker& w, uint32_t s, uint32_t t, bool l)
        : worker(w), sent(s), total(t), last(l) {}
    void deliver(Napi::Env env) override { worker.report(env, sent, total, last); }
    TransferWorker& worker;
    uint32_t sent, total;
    bool last;
  };

  bool run() final;
  void report(Napi::Env env, uint32_t sent, uint32_t total, bool last);

  Napi::FunctionReference progress_;
  ProgressPacer pacer_;
  // Worker thread only: the pacer is giving its held-back count.
  bool finishing_ = false;
  // Script thread only: reports posted apart can still arrive together.
  std::chrono::steady_clock::time_point lastCall_{};
  bool called_ = false;
};

// Reads the completion callback and the optional progress function of a
// transfer method. An absent callback stands for one that does nothing; any
// other value that is not a function raises a TypeError (false).
bool readTransferCallbacks(const Napi::CallbackInfo& info, size_t index, Napi::Function& callback,
                           Napi::Function& progress);

}  // namespace lc::script
