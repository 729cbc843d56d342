#pragma once

// The machinery every asynchronous script operation shares: a thread of its
// own, results posted back to the script thread in order, cancellation and
// the objects kept alive meanwhile. Argument readers come with it, so a
// wrapper needs this one include.

#include <napi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "script/Arguments.h"

namespace lc::script {

// Defines a class and stores its constructor on the exports object.
template <typename T>
Napi::Object defineClass(Napi::Env env, Napi::Object exports, const char* exportName,
                         const char* className,
                         const std::vector<Napi::ClassPropertyDescriptor<T>>& properties) {
  Napi::Function constructor = T::DefineClass(env, className, properties);
  if (env.IsExceptionPending()) return exports;
  exports.Set(exportName, constructor);
  return exports;
}

// Holds script objects alive while a worker uses their native objects. The
// references are released when the worker is destroyed, on the script thread,
// after its completion callback ran.
class KeepAlive {
 public:
  void hold(Napi::Object object) { refs_.push_back(Napi::Persistent(object)); }
  void hold(std::initializer_list<Napi::Object> objects) {
    for (const Napi::Object& o : objects) hold(o);
  }

 private:
  std::vector<Napi::ObjectReference> refs_;
};

class ThreadWorker;

// The operations of one script object that are still running, so that its
// "cancel" method can end them. Script thread only; shared with the workers
// so that a worker outliving its owner's native object touches nothing freed.
class Operations {
 public:
  // Ends the waits of every running operation; each then completes as a
  // failure, soon, with the link left as it was.
  void cancelAll();

 private:
  friend class ThreadWorker;
  std::vector<ThreadWorker*> running_;
};

// The "cancel" method of a script class whose operations wait on the relay:
// it ends every operation of the object that is still running.
class Cancellable {
 public:
  Napi::Value cancel(const Napi::CallbackInfo& info) {
    operations_->cancelAll();
    return info.Env().Undefined();
  }

 protected:
  std::shared_ptr<Operations> operations_ = std::make_shared<Operations>();
};

// The base of every asynchronous worker. The work runs on a thread of its
// own, never on the runtime's shared pool: a link or a loop may wait on the
// relay for as long as it lives, and four of them would starve every other
// user of the pool. The thread reports through a thread-safe function, so
// progress and completion reach the script thread in posting order, the
// completion last and once.
//
// Lifetime: the worker deletes itself on the script thread once the thread
// ended and everything it posted was delivered. When the runtime environment
// goes away first (a worker thread that exits or is terminated), abandon()
// asks the work to end, the thread is joined, and nothing more is delivered:
// no callback runs into a runtime that is shutting down.
class ThreadWorker {
 public:
  ThreadWorker(const ThreadWorker&) = delete;
  ThreadWorker& operator=(const ThreadWorker&) = delete;

  // Starts the thread; from the script thread, once. When the runtime
  // refuses the thread-safe function a script error is pending and the
  // worker is gone; when no thread can be made, the completion still runs,
  // with the result the work had before it began.
  void queue();
  // From the script thread, before queue(): "cancel" on the owner reaches
  // this worker while it runs.
  void track(std::shared_ptr<Operations> operations);

 protected:
  // The callback and the objects to keep alive; the receiver of every call
  // is a fresh empty object.
  ThreadWorker(Napi::Function callback, std::initializer_list<Napi::Object> keep);
  virtual ~ThreadWorker();

  // On the worker's thread. Nothing thrown from it goes further.
  virtual void execute() = 0;
  // On the script thread, after every progress item.
  virtual void onComplete(Napi::Env env) = 0;
  // From the script thread while execute() may run: the environment is going
  // away, so make execute() return soon (end the link, wake the wait).
  virtual void abandon() {}
  // From the script thread while execute() may run: the script asked to end
  // this operation. Only the operation's own waits end; the link stays up.
  virtual void cancel() {}

  // Why the operation failed: set from execute() to override what the
  // operation logged (its first error line, else its last line).
  void setReason(std::string reason) { explicitReason_ = std::move(reason); }
  // For the completion: the reason as a string, or undefined when there is none.
  napi_value reason(Napi::Env env) const;
  bool hasReason() const { return !explicitReason_.empty() || !reason_.empty(); }

  // A piece of work for the script thread, posted from execute().
  struct Message {
    virtual ~Message() = default;
    virtual void deliver(Napi::Env env) = 0;
  };
  // False when the environment is going away (the message is dropped).
  bool post(std::unique_ptr<Message> message);
  // Asks for one onDrain call on the script thread; nothing is allocated.
  // Besides execute(), a thread that the work owns may call it while
  // execute() runs, provided execute() makes it stop before returning; and
  // onDrain may, for what it left to a later turn.
  bool postDrain();
  // On the script thread, once per postDrain that succeeded.
  virtual void onDrain(Napi::Env /*env*/) {}

  // Calls the callback with the fresh receiver. A failure to call (the
  // runtime is stopping) is ignored; an exception thrown by the callback
  // stays pending and surfaces as the runtime's uncaught exception.
  void call(Napi::Env env, std::initializer_list<napi_value> args);
  Napi::Function callback() const { return callback_.Value(); }
  // The receiver of every call.
  Napi::Object receiver() const { return receiver_.Value(); }

 private:
  void run();
  static void callJs(napi_env env, napi_value, void* context, void* data);
  static void finalize(napi_env env, void* data, void* hint);
  // A drain asked for in a turn that already had one runs once this turn's
  // I/O is done (script thread).
  void deferDrain(napi_env env);
  static napi_value deferredDrain(napi_env env, napi_callback_info info);

  friend class Operations;

  Napi::FunctionReference callback_;
  Napi::ObjectReference receiver_;
  std::shared_ptr<Operations> operations_;
  // Written by the worker's thread before the completion is posted.
  std::string reason_;
  std::string explicitReason_;
  KeepAlive keep_;
  napi_threadsafe_function tsfn_ = nullptr;
  std::thread thread_;
  // Set by whichever thread posting heard the runtime say "closing": from
  // then on nothing more may be posted or released.
  std::atomic<bool> closing_{false};
  std::atomic<bool> finished_{false};
  // Script thread only: the loop turn of the latest drain, and the
  // completion having run (a drain put off past it finds nothing to do).
  uint64_t drainTurn_ = 0;
  bool completed_ = false;
  bool drainDeferred_ = false;
};

// A worker whose callback receives one boolean, true when the operation
// failed (error-first).
class CommandWorker : public ThreadWorker {
 protected:
  using ThreadWorker::ThreadWorker;
  // The operation; true on success.
  virtual bool run() = 0;

  void execute() override { failed_ = !run(); }
  // The reason follows as a last argument when the operation failed and
  // something said why.
  void onComplete(Napi::Env env) override {
    if (failed_ && hasReason())
      call(env, {Napi::Boolean::New(env, true), reason(env)});
    else
      call(env, {Napi::Boolean::New(env, failed_)});
  }

 private:
  bool failed_ = true;
};

// A worker that posts items of type Item while it runs; they reach
// onProgress on the script thread, in order, before the completion, in
// batches: one call into the runtime takes every item waiting, so a worker
// that outpaces the script costs one message in the runtime's queue, not one
// per item. The items waiting are bounded: beyond `bound` the oldest go and
// are counted (dropped()), and a subclass may fold an item into the newest
// one waiting (coalesces()), so a flood neither grows memory nor delays the
// completion by more than one batch.
template <typename Item>
class ProgressWorker : public ThreadWorker {
 protected:
  static constexpr size_t kDefaultBound = 1024;

  ProgressWorker(Napi::Function callback, std::initializer_list<Napi::Object> keep,
                 size_t bound = kDefaultBound)
      : ThreadWorker(callback, keep), ring_(bound > 0 ? bound : 1) {
    batch_.reserve(ring_.size());
  }

  virtual void onProgress(Napi::Env env, const Item* items, size_t count) = 0;
  // Under the queue's lock on the worker's thread: true when `next` adds
  // nothing to `newest`, the latest item still waiting, and can be left out.
  virtual bool coalesces(const Item& /*newest*/, const Item& /*next*/) const { return false; }

  // From execute(); false when the environment is going away.
  bool send(const Item* items, size_t count) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < count; ++i) push(items[i]);
      if (!drainPosted_ && size_ > 0) wake = drainPosted_ = true;
    }
    return wake ? postDrain() : true;
  }

  // Items left out because the script was behind, over the whole run.
  uint64_t dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
  }

 private:
  void push(const Item& item) {
    const size_t capacity = ring_.size();
    if (size_ > 0 && coalesces(ring_[(head_ + size_ - 1) % capacity], item)) return;
    if (size_ == capacity) {
      head_ = (head_ + 1) % capacity;
      --size_;
      ++dropped_;
    }
    ring_[(head_ + size_) % capacity] = item;
    ++size_;
  }

  void onDrain(Napi::Env env) final {
    {
      // Taken and the flag cleared together: an item pushed after this
      // posts a drain of its own, still ahead of the completion.
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < size_; ++i) batch_.push_back(ring_[(head_ + i) % ring_.size()]);
      head_ = size_ = 0;
      drainPosted_ = false;
    }
    if (!batch_.empty()) onProgress(env, batch_.data(), batch_.size());
    batch_.clear();
  }

  mutable std::mutex mutex_;
  std::vector<Item> ring_;  // allocated once, at its bound
  size_t head_ = 0;
  size_t size_ = 0;
  bool drainPosted_ = false;
  uint64_t dropped_ = 0;
  // Script thread only: the batch being delivered, reserved at the bound.
  std::vector<Item> batch_;
};

}  // namespace lc::script
