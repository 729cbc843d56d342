#include "script/TransferWorker.h"

namespace lc::script {

TransferWorker::TransferWorker(Napi::Function callback, Napi::Function progress,
                               std::initializer_list<Napi::Object> keep)
    : CommandWorker(callback, keep), pacer_([this](uint32_t sent, uint32_t total) {
        post(std::make_unique<Report>(*this, sent, total, finishing_ || sent == total));
      }) {
  if (!progress.IsEmpty()) progress_ = Napi::Persistent(progress);
}

bool TransferWorker::run() {
  const bool ok = transfer();
  // The count held back by the pacer, so a bar ends where the transfer did.
  if (!progress_.IsEmpty()) {
    finishing_ = true;
    pacer_.finish();
  }
  return ok;
}

void TransferWorker::report(Napi::Env env, uint32_t sent, uint32_t total, bool last) {
  // A busy script thread may receive two reports back to back; the promise
  // of one call per interval holds where the calls happen. The last count
  // always goes through, so a bar ends where the transfer did.
  const auto now = std::chrono::steady_clock::now();
  if (!last && called_ && now - lastCall_ < ProgressPacer::kInterval) return;
  called_ = true;
  lastCall_ = now;
  // Raw calls, as for the completion: nothing is built when the runtime is
  // stopping.
  napi_value fn;
  if (napi_get_reference_value(env, progress_, &fn) != napi_ok || fn == nullptr) return;
  napi_value receiver;
  napi_value args[2];
  if (napi_create_object(env, &receiver) != napi_ok ||
      napi_create_uint32(env, sent, &args[0]) != napi_ok ||
      napi_create_uint32(env, total, &args[1]) != napi_ok) {
    return;
  }
  napi_value result;
  napi_call_function(env, receiver, fn, 2, args, &result);
}

namespace {
Napi::Value nothing(const Napi::CallbackInfo& info) { return info.Env().Undefined(); }
}  // namespace

bool readTransferCallbacks(const Napi::CallbackInfo& info, size_t index, Napi::Function& callback,
                           Napi::Function& progress) {
  if (info[index].IsUndefined()) {
    callback = Napi::Function::New(info.Env(), nothing);
  } else if (!readFunction(info, index, "callback", callback)) {
    return false;
  }
  if (info[index + 1].IsUndefined()) return true;
  return readFunction(info, index + 1, "progress", progress);
}

}  // namespace lc::script
