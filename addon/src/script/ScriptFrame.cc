#include "script/ScriptFrame.h"

#include <algorithm>

#include "util/Log.h"

namespace lc::script {

ThreadWorker::ThreadWorker(Napi::Function callback, std::initializer_list<Napi::Object> keep)
    : callback_(Napi::Persistent(callback)),
      receiver_(Napi::Persistent(Napi::Object::New(callback.Env()))) {
  keep_.hold(keep);
}

ThreadWorker::~ThreadWorker() {
  if (operations_) {
    auto& running = operations_->running_;
    running.erase(std::remove(running.begin(), running.end(), this), running.end());
  }
}

void Operations::cancelAll() {
  // A copy: nothing completes during the loop, but cancel must not care.
  std::vector<ThreadWorker*> running = running_;
  for (ThreadWorker* worker : running) {
    if (!worker->finished_.load()) worker->cancel();
  }
}

void ThreadWorker::track(std::shared_ptr<Operations> operations) {
  operations_ = std::move(operations);
  if (operations_) operations_->running_.push_back(this);
}

napi_value ThreadWorker::reason(Napi::Env env) const {
  const std::string& text = explicitReason_.empty() ? reason_ : explicitReason_;
  if (text.empty()) return env.Undefined();
  napi_value value;
  if (napi_create_string_utf8(env, text.data(), text.size(), &value) != napi_ok) {
    return env.Undefined();
  }
  return value;
}

void ThreadWorker::queue() {
  Napi::Env env = callback_.Env();
  napi_value name;
  napi_status status = napi_create_string_utf8(env, "generic", NAPI_AUTO_LENGTH, &name);
  if (status == napi_ok) {
    status = napi_create_threadsafe_function(env, nullptr, receiver_.Value(), name, 0, 1, this,
                                             &ThreadWorker::finalize, this, &ThreadWorker::callJs,
                                             &tsfn_);
  }
  if (status != napi_ok) {
    if (!env.IsExceptionPending()) {
      Napi::Error::New(env, "could not start the work").ThrowAsJavaScriptException();
    }
    delete this;
    return;
  }
  try {
    thread_ = std::thread(&ThreadWorker::run, this);
  } catch (const std::exception&) {
    // Report the completion from here; the finalizer then has nothing to join.
    finished_.store(true);
    napi_call_threadsafe_function(tsfn_, nullptr, napi_tsfn_nonblocking);
    napi_release_threadsafe_function(tsfn_, napi_tsfn_release);
  }
}

void ThreadWorker::run() {
  // Each worker has a thread of its own, so what this thread logs belongs to
  // this operation alone.
  Log::Capture capture;
  Log::setCapture(&capture);
  try {
    execute();
  } catch (...) {
    // The completion reports whatever result the work had reached.
  }
  Log::setCapture(nullptr);
  reason_ = capture.reason();
  finished_.store(true);
  // A null message stands for the completion.
  if (!closing_ &&
      napi_call_threadsafe_function(tsfn_, nullptr, napi_tsfn_nonblocking) == napi_closing) {
    closing_ = true;
  }
  if (!closing_) napi_release_threadsafe_function(tsfn_, napi_tsfn_release);
}

bool ThreadWorker::post(std::unique_ptr<Message> message) {
  if (closing_) return false;
  napi_status status = napi_call_threadsafe_function(tsfn_, message.get(), napi_tsfn_nonblocking);
  if (status == napi_ok) {
    message.release();  // callJs owns it now
    return true;
  }
  if (status == napi_closing) closing_ = true;
  return false;
}

// The event loop's time, fixed for the whole of one turn of the loop; the
// runtime exports the loop library the thread-safe functions run on.
extern "C" uint64_t uv_now(const struct uv_loop_s* loop);

namespace {
// Stands for a drain in the runtime's queue: no message object is made for it.
char drainTag;

// An id of the event loop's current turn; 0 when it cannot be had.
uint64_t loopTurn(napi_env env) {
  struct uv_loop_s* loop = nullptr;
  if (napi_get_uv_event_loop(env, &loop) != napi_ok || loop == nullptr) return 0;
  return uv_now(loop) + 1;
}
}  // namespace

bool ThreadWorker::postDrain() {
  if (closing_) return false;
  napi_status status = napi_call_threadsafe_function(tsfn_, &drainTag, napi_tsfn_nonblocking);
  if (status == napi_closing) closing_ = true;
  return status == napi_ok;
}

void ThreadWorker::callJs(napi_env env, napi_value, void* context, void* data) {
  auto* self = static_cast<ThreadWorker*>(context);
  if (data == &drainTag) {
    if (env == nullptr || self->completed_) return;
    // The runtime runs queued calls back to back, a thousand to a turn: a
    // worker that posts while its batch is delivered would hold the loop for
    // as many batches. One batch per turn; the next waits for the following
    // turn, so timers and I/O get their share.
    const uint64_t turn = loopTurn(env);
    if (turn != 0 && turn == self->drainTurn_) {
      // Not posted back into the runtime's queue: that queue runs on at
      // once, in this same turn, and the worker would spin through it.
      if (!self->drainDeferred_) self->deferDrain(env);
      return;
    }
    self->drainTurn_ = turn;
    Napi::Env napiEnv(env);
    Napi::HandleScope scope(napiEnv);
    self->onDrain(napiEnv);
    return;
  }
  std::unique_ptr<Message> message(static_cast<Message*>(data));
  // No environment: the runtime is tearing the function down; drop it.
  if (env == nullptr) return;
  Napi::Env napiEnv(env);
  Napi::HandleScope scope(napiEnv);
  if (message) {
    message->deliver(napiEnv);
  } else {
    // A drain put off to a later turn sits behind the completion: what it
    // holds is delivered first, and nothing after.
    self->onDrain(napiEnv);
    self->completed_ = true;
    self->onComplete(napiEnv);
  }
}

void ThreadWorker::deferDrain(napi_env env) {
  // After the loop's I/O of this turn, through the runtime's own immediate
  // queue. The function's hold keeps this worker until the drain ran; when
  // the environment goes first, its teardown finalises the function anyway.
  napi_value global;
  napi_value setImmediate;
  napi_value drain;
  napi_value result;
  if (napi_acquire_threadsafe_function(tsfn_) != napi_ok) return;
  if (napi_get_global(env, &global) == napi_ok &&
      napi_get_named_property(env, global, "setImmediate", &setImmediate) == napi_ok &&
      napi_create_function(env, "drain", NAPI_AUTO_LENGTH, &ThreadWorker::deferredDrain, this,
                           &drain) == napi_ok &&
      napi_call_function(env, global, setImmediate, 1, &drain, &result) == napi_ok) {
    drainDeferred_ = true;
    return;
  }
  // No immediate: post back as before, so the items are not left waiting.
  napi_call_threadsafe_function(tsfn_, &drainTag, napi_tsfn_nonblocking);
  napi_release_threadsafe_function(tsfn_, napi_tsfn_release);
}

napi_value ThreadWorker::deferredDrain(napi_env env, napi_callback_info info) {
  void* data = nullptr;
  if (napi_get_cb_info(env, info, nullptr, nullptr, nullptr, &data) != napi_ok || !data) {
    return nullptr;
  }
  auto* self = static_cast<ThreadWorker*>(data);
  self->drainDeferred_ = false;
  if (!self->completed_) {
    self->drainTurn_ = loopTurn(env);
    Napi::Env napiEnv(env);
    Napi::HandleScope scope(napiEnv);
    self->onDrain(napiEnv);
  }
  // Last: the release may let the worker be finalised.
  napi_release_threadsafe_function(self->tsfn_, napi_tsfn_release);
  return nullptr;
}

void ThreadWorker::call(Napi::Env env, std::initializer_list<napi_value> args) {
  // Raw calls: the wrapped forms build an Error object on failure, which
  // aborts the process when the runtime is already stopping.
  napi_value fn;
  napi_value recv;
  if (napi_get_reference_value(env, callback_, &fn) != napi_ok || fn == nullptr) return;
  if (napi_get_reference_value(env, receiver_, &recv) != napi_ok || recv == nullptr) return;
  napi_value result;
  napi_call_function(env, recv, fn, args.size(), args.begin(), &result);
}

void ThreadWorker::finalize(napi_env, void* data, void*) {
  auto* self = static_cast<ThreadWorker*>(data);
  // Normally the thread has ended already; during an environment's teardown
  // it may still wait on the relay.
  if (!self->finished_.load()) self->abandon();
  if (self->thread_.joinable()) self->thread_.join();
  delete self;
}

}  // namespace lc::script
