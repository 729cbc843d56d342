#include "script/ComAddon.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/EventListenerBase.h"
#include "link/StatusWatch.h"
#include "script/ScriptFrame.h"
#include "transport/TcpipDriver.h"

namespace lc {

namespace {
constexpr napi_type_tag kComTag = {0x6c63'436f'6d41'6464ULL, 0x8f3a'1c52'9e04'b7d1ULL};

// Every live "Com" object, with the runtime it belongs to (worker threads
// each have their own).
std::mutex liveMutex;
std::vector<std::pair<napi_env, ComAddon*>> live;
}  // namespace

// What a "Com" object and its worker share. It outlives both, so a worker
// that completes after its owner was finalised touches nothing freed.
struct ComRun {
  std::mutex mutex;
  std::condition_variable changed;
  bool busy = false;        // from a queued start until code 1 was reported
  bool connecting = false;  // from a queued start until the link started or failed to
  bool executing = false;   // the worker is using the link
  bool ownerGone = false;   // the "Com" object is being destroyed
};

class ComAddonWorker : public script::ProgressWorker<unsigned char> {
 public:
  ComAddonWorker(Napi::Function callback, Napi::Object com, Communication& link, uint64_t ticket,
                 std::shared_ptr<ComRun> run, std::string where)
      : ProgressWorker(callback, {com}, kCodesWaiting),
        link_(link),
        run_(std::move(run)),
        ticket_(ticket),
        where_(std::move(where)) {}

 protected:
  void execute() override {
    {
      std::lock_guard<std::mutex> lock(run_->mutex);
      if (run_->ownerGone) return;
      run_->executing = true;
    }
    try {
      watch();
    } catch (...) {
      // The link is stopped below; the callback still gets code 1.
    }
    link_.stopAndWait();
    // A stopped "Com" holds no socket while it waits to be started again.
    link_.releaseDriver();
    std::lock_guard<std::mutex> lock(run_->mutex);
    run_->executing = false;
    run_->changed.notify_all();
  }

  void abandon() override { link_.retire(); }

  // A run of "state changed" that the script has not seen yet tells it
  // once: the state word itself is read with getState.
  bool coalesces(const unsigned char& newest, const unsigned char& next) const override {
    return newest == StatusWatch::StateChanged && next == StatusWatch::StateChanged;
  }

  void onProgress(Napi::Env env, const unsigned char* items, size_t count) override {
    for (size_t i = 0; i < count; ++i) report(env, items[i]);
  }

  void onComplete(Napi::Env env) override {
    {
      std::lock_guard<std::mutex> lock(run_->mutex);
      run_->busy = false;
    }
    // The last code carries why a run that never came up ended.
    if (hasReason()) {
      call(env, {env.Undefined(), Napi::Number::New(env, StatusWatch::Ended), reason(env)});
    } else {
      report(env, StatusWatch::Ended);
    }
  }

 private:
  // Codes 0 and 2 only, and a run of 2 coalesces: a few slots are plenty.
  static constexpr size_t kCodesWaiting = 16;

  // Turns the link's events into codes on the receive loop itself, so a
  // watched link takes one thread, not a reader and a watcher woken for
  // every read. Called with the link's listener lock held.
  class CodeListener : public EventListenerBase {
   public:
    explicit CodeListener(ComAddonWorker& worker) : worker_(worker) {}

    void addEvent(const Event& event) override {
      addBatchedEvent(event);
      flushEvents();
    }

    void addBatchedEvent(const Event& event) override {
      if (ended_) return;
      const StatusWatch::Report report = watch_.onEvent(event);
      if (report == StatusWatch::FirstStatus) up_ = true;
      if (report == StatusWatch::Ended) ended_ = true;
      if (report != StatusWatch::FirstStatus && report != StatusWatch::StateChanged) return;
      // Only a first status and changes come; a run of changes is one code.
      if (count_ > 0 && codes_[count_ - 1] == report) return;
      if (count_ < kCodes) codes_[count_++] = report;
    }

    // One hand-over per read of the link.
    void flushEvents() override {
      if (count_ > 0) worker_.send(codes_, count_);
      count_ = 0;
    }

    bool up() const { return up_; }

   private:
    static constexpr size_t kCodes = 4;
    ComAddonWorker& worker_;
    StatusWatch watch_;
    unsigned char codes_[kCodes] = {};
    size_t count_ = 0;
    bool up_ = false;
    // After a close frame the link may run on until it is stopped; the
    // script has heard its end then, as code 1 follows with the completion.
    bool ended_ = false;
  };

  void watch() {
    CodeListener listener(*this);
    // Registered before the link starts, so an end that comes at once is
    // still seen.
    link_.addEventListener(listener);
    const bool started = link_.startHere(ticket_);
    {
      std::lock_guard<std::mutex> lock(run_->mutex);
      run_->connecting = false;
    }
    if (started) link_.receiveHere();
    link_.removeEventListener(listener);
    if (!started) {
      setReason("cannot connect to " + where_);
      return;
    }
    // A peer that takes the connection but never sends a status frame is
    // ended by the link's silence bound; say what that usually means.
    if (!listener.up() && link_.ticket() == ticket_) {
      setReason("no status from " + where_ + ": not a relay, or not answering");
    }
  }

  void report(Napi::Env env, unsigned char code) {
    call(env, {env.Undefined(), Napi::Number::New(env, code)});
  }

  Communication& link_;
  std::shared_ptr<ComRun> run_;
  // Taken when "start" was called, so a "stop" before the worker connects
  // (or while it does) ends this run.
  uint64_t ticket_;
  std::string where_;  // ip:port, for the reasons
};

Napi::Object ComAddon::Init(Napi::Env env, Napi::Object exports) {
  script::defineClass<ComAddon>(
      env, exports, "Com", "ComAddon",
      {InstanceMethod("start", &ComAddon::start), InstanceMethod("ready", &ComAddon::ready),
       InstanceMethod("stop", &ComAddon::stop), InstanceMethod("getVersion", &ComAddon::getVersion),
       InstanceMethod("getState", &ComAddon::getState)});
  if (env.IsExceptionPending()) return exports;
  // The runtime waits for running workers before it finalises objects at
  // exit, and a worker of a live link would never end by itself.
  Napi::Value process = env.Global().Get("process");
  if (process.IsObject()) {
    Napi::Value on = process.As<Napi::Object>().Get("on");
    if (on.IsFunction()) {
      on.As<Napi::Function>().Call(process, {Napi::String::New(env, "exit"),
                                             Napi::Function::New(env, &ComAddon::retireAll)});
    }
  }
  return exports;
}

Napi::Value ComAddon::retireAll(const Napi::CallbackInfo& info) {
  napi_env env = info.Env();
  std::lock_guard<std::mutex> lock(liveMutex);
  for (auto& [owner, com] : live) {
    if (owner == env) com->link_.retire();
  }
  return info.Env().Undefined();
}

Communication* ComAddon::unwrap(Napi::Value value) {
  ComAddon* com = script::unwrapTagged<ComAddon>(value, kComTag, "Com");
  return com == nullptr ? nullptr : &com->link_;
}

ComAddon::ComAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<ComAddon>(info), run_(std::make_shared<ComRun>()) {
  script::tagObject(info, kComTag);
  std::lock_guard<std::mutex> lock(liveMutex);
  live.emplace_back(info.Env(), this);
}

ComAddon::~ComAddon() {
  {
    std::lock_guard<std::mutex> lock(liveMutex);
    live.erase(std::remove_if(live.begin(), live.end(), [&](auto& e) { return e.second == this; }),
               live.end());
  }
  // A running worker keeps this object alive, so this normally finds the
  // link idle. At runtime shutdown it may not: end the run and wait for the
  // worker to let go of the link before the driver and the link go.
  {
    std::lock_guard<std::mutex> lock(run_->mutex);
    run_->ownerGone = true;
  }
  link_.retire();
  std::unique_lock<std::mutex> lock(run_->mutex);
  run_->changed.wait(lock, [&] { return !run_->executing; });
}

Napi::Value ComAddon::start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!info[0].IsObject()) {
    Napi::TypeError::New(env, "description must be an object").ThrowAsJavaScriptException();
    return env.Undefined();
  }
  Napi::Object description = info[0].As<Napi::Object>();
  std::string type;
  if (!script::readProperty(description, "type", "description.type", script::readString, type,
                            true)) {
    return env.Undefined();
  }
  if (type != "TCPIP") return Napi::Boolean::New(env, false);
  std::string ip;
  uint32_t port = 0;
  if (!script::readProperty(description, "ip", "description.ip", script::readString, ip, true) ||
      !script::readProperty(description, "port", "description.port", script::readPort, port,
                            true)) {
    return env.Undefined();
  }
  Napi::Function callback;
  if (!script::readFunction(info, 1, "callback", callback)) return env.Undefined();

  // A run that has not reported code 1 still owns the driver and the thread.
  {
    std::lock_guard<std::mutex> lock(run_->mutex);
    if (run_->busy) return Napi::Boolean::New(env, false);
  }
  auto driver = std::make_unique<TcpipDriver>(ip, uint16_t(port), "default");
  if (!link_.setDriver(driver.get())) return Napi::Boolean::New(env, false);
  driver_ = std::move(driver);  // the previous driver goes only now

  {
    std::lock_guard<std::mutex> lock(run_->mutex);
    run_->busy = true;
    run_->connecting = true;
  }
  auto* worker = new ComAddonWorker(callback, info.This().As<Napi::Object>(), link_, link_.ticket(),
                                    run_, ip + ":" + std::to_string(port));
  worker->queue();
  return Napi::Boolean::New(env, true);
}

Napi::Value ComAddon::ready(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), link_.running());
}

Napi::Value ComAddon::stop(const Napi::CallbackInfo& info) {
  bool connecting;
  {
    std::lock_guard<std::mutex> lock(run_->mutex);
    connecting = run_->connecting;
  }
  // A start that is queued or connecting is ended too; its callback then
  // gets code 1 at once instead of after the connect time-out.
  if (!link_.running() && !connecting) return Napi::Boolean::New(info.Env(), false);
  link_.stop();
  return Napi::Boolean::New(info.Env(), true);
}

Napi::Value ComAddon::getVersion(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), link_.lastVersion());
}

// The state word of the latest status frame: a script can tell a ready relay
// (non-zero) from a busy one without waiting for the next change.
Napi::Value ComAddon::getState(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), link_.lastState());
}

}  // namespace lc
