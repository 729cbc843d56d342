#include "script/PlayerAddon.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "script/ImageArgument.h"
#include "script/ScriptFrame.h"
#include "script/TopAddon.h"

namespace lc {

namespace {

const char* setUpMessage(Player::SetUp result) {
  switch (result) {
    case Player::Busy:
      return "Player is playing: stop it and wait for its callback before starting again";
    case Player::NoRelay:
      return "Topology has no relay (module 0)";
    case Player::NoSecondModule:
      return "Topology has no module 1";
    default:
      return "Player could not be set up";
  }
}

// A number for all three channels, or an array of three; undefined keeps
// `out`.
bool readChannels(Napi::Object options, const char* key, std::array<double, 3>& out) {
  Napi::Env env = options.Env();
  Napi::Value value = options.Get(key);
  if (env.IsExceptionPending()) return false;
  if (value.IsUndefined()) return true;
  const std::string what = std::string("options.") + key;
  if (value.IsNumber()) {
    out.fill(value.As<Napi::Number>().DoubleValue());
    return true;
  }
  if (value.IsArray() && value.As<Napi::Array>().Length() == 3) {
    Napi::Array array = value.As<Napi::Array>();
    for (std::uint32_t c = 0; c < 3; ++c) {
      Napi::Value v = array.Get(c);
      if (env.IsExceptionPending()) return false;
      if (!v.IsNumber()) break;
      out[c] = v.As<Napi::Number>().DoubleValue();
      if (c == 2) return true;
    }
  }
  Napi::TypeError::New(env, what + " must be a number or an array of three numbers")
      .ThrowAsJavaScriptException();
  return false;
}

// The colour correction and the progress function of start's options.
bool readPlayback(const Napi::CallbackInfo& info, size_t index, Correction& correction,
                  Napi::Function& progress) {
  Napi::Object options;
  if (!script::readOptions(info, index, "options", options)) return false;
  std::array<double, 3> gamma{1, 1, 1};
  std::array<double, 3> gains{1, 1, 1};
  if (!readChannels(options, "gamma", gamma) || !readChannels(options, "gains", gains)) {
    return false;
  }
  if (!correction.set(gamma, gains)) {
    Napi::RangeError::New(info.Env(),
                          "options.gamma must lie within 0.1..10 and options.gains "
                          "within 0..16")
        .ThrowAsJavaScriptException();
    return false;
  }
  Napi::Value onProgress = options.Get("onProgress");
  if (info.Env().IsExceptionPending()) return false;
  if (onProgress.IsUndefined()) return true;
  return script::readFunction(onProgress, "options.onProgress", progress);
}

bool readMode(const Napi::CallbackInfo& info, size_t index, Buffer::Mode& mode) {
  std::string name;
  if (!script::readString(info, index, "mode", name)) return false;
  mode = Player::modeFromName(name);
  return true;
}

// The links with a playback running: two players on one link would both
// send frames in the relay's slots, each half of the time.
std::mutex playingMutex;
std::vector<const Communication*> playing;

// False when another player already plays on `link`.
bool claim(const Communication* link) {
  std::lock_guard<std::mutex> lock(playingMutex);
  if (std::find(playing.begin(), playing.end(), link) != playing.end()) return false;
  playing.push_back(link);
  return true;
}

void release(const Communication* link) {
  std::lock_guard<std::mutex> lock(playingMutex);
  auto found = std::find(playing.begin(), playing.end(), link);
  if (found != playing.end()) playing.erase(found);
}

}  // namespace

// Runs one playback: the player's loop until it ends, then the callback
// with undefined. With a progress function, it tells the script thread when
// the sender took a picture or a sensor sweep completed: one message at a
// time, which reads the counts when it is delivered, so a script that is
// slow to run its callbacks gets fewer calls rather than a growing queue.
class PlayerAddonWorker : public script::ThreadWorker {
 public:
  PlayerAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                    PlayerAddon& owner, Napi::Function progress)
      : ThreadWorker(callback, {self, com}), owner_(owner), player_(owner.player_) {
    if (!progress.IsEmpty()) progress_ = Napi::Persistent(progress);
  }

 protected:
  void execute() override {
    const bool reporting = !progress_.IsEmpty();
    std::uint64_t taken = 0;
    std::uint64_t sweeps = 0;
    while (player_->run()) {
      if (!reporting) continue;
      const std::uint64_t t = player_->taken();
      const std::uint64_t s = player_->sweeps();
      if ((t == taken && s == sweeps) || pending_.exchange(true)) continue;
      taken = t;
      sweeps = s;
      if (!post(std::make_unique<Progress>(*this))) pending_.store(false);
    }
  }
  void abandon() override { player_->abandon(); }
  void onComplete(Napi::Env env) override {
    // A loop cut short by an exception, or one that never ran, still ends
    // the playback, so that the next start is not refused.
    player_->finish();
    owner_.busy_ = false;
    report(env);  // what came after the last message, before the end
    release(owner_.com_.link());
    if (hasReason())
      call(env, {env.Undefined(), reason(env)});
    else
      call(env, {env.Undefined()});
  }

 private:
  struct Progress : Message {
    explicit Progress(PlayerAddonWorker& w) : worker(w) {}
    void deliver(Napi::Env env) override {
      worker.pending_.store(false);
      worker.report(env);
    }
    PlayerAddonWorker& worker;
  };

  // Script thread: calls the progress function when a count moved since
  // its last call.
  void report(Napi::Env env) {
    if (progress_.IsEmpty()) return;
    const std::uint64_t t = player_->taken();
    const std::uint64_t s = player_->sweeps();
    if (t == reportedTaken_ && s == reportedSweeps_) return;
    reportedTaken_ = t;
    reportedSweeps_ = s;
    napi_value args[] = {Napi::Number::New(env, static_cast<double>(t)),
                         Napi::Number::New(env, static_cast<double>(s))};
    napi_value result;
    napi_call_function(env, env.Undefined(), progress_.Value(), 2, args, &result);
  }

  PlayerAddon& owner_;
  std::shared_ptr<Player> player_;
  Napi::FunctionReference progress_;
  std::atomic<bool> pending_{false};
  std::uint64_t reportedTaken_ = 0;
  std::uint64_t reportedSweeps_ = 0;
};

Napi::Object PlayerAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<PlayerAddon>(
      env, exports, "Player", "Player",
      {InstanceMethod("start", &PlayerAddon::start), InstanceMethod("stop", &PlayerAddon::stop),
       InstanceMethod("addImage", &PlayerAddon::addImage),
       InstanceMethod("getSensors", &PlayerAddon::getSensors),
       InstanceMethod("getScreen", &PlayerAddon::getScreen),
       InstanceMethod("getCounters", &PlayerAddon::getCounters),
       InstanceMethod("getFrames", &PlayerAddon::getFrames)});
}

PlayerAddon::PlayerAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<PlayerAddon>(info) {
  if (com_.take(info[0])) player_ = std::make_shared<Player>(*com_.link());
}

PlayerAddon::~PlayerAddon() {
  // Only reached with a playback running when the runtime goes away.
  if (busy_ && player_) player_->abandon();
  if (busy_) release(com_.link());
}

bool PlayerAddon::check(Napi::Env env) const {
  if (player_) return true;
  Napi::Error::New(env, "Player was not made with a Com object").ThrowAsJavaScriptException();
  return false;
}

Napi::Value PlayerAddon::start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::uint32_t angle = 0;
  if (!script::readAngle(info, 0, "angle", angle)) return env.Undefined();
  const Topology* topology = TopAddon::unwrap(info[1]);
  if (topology == nullptr) return env.Undefined();
  Buffer::Mode mode;
  if (!readMode(info, 2, mode)) return env.Undefined();
  bool sensors = false;
  if (!script::readBoolean(info[3], "sensors", sensors)) return env.Undefined();
  Napi::Function callback;
  if (!script::readFunction(info, 4, "callback", callback)) return env.Undefined();
  Correction correction;
  Napi::Function progress;
  if (!readPlayback(info, 5, correction, progress)) return env.Undefined();
  if (!check(env)) return env.Undefined();

  Player::SetUp result = busy_ ? Player::Busy : Player::Ready;
  if (result == Player::Ready && !claim(com_.link())) {
    Napi::Error::New(env, "Com already has a Player playing: stop it and wait for its callback")
        .ThrowAsJavaScriptException();
    return env.Undefined();
  }
  if (result == Player::Ready) {
    try {
      result = player_->initScreen(*topology, angle, mode, sensors, correction);
    } catch (const std::exception& e) {
      release(com_.link());
      Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
      return env.Undefined();
    }
  }
  if (result != Player::Ready) {
    if (!busy_) release(com_.link());
    Napi::Error::New(env, setUpMessage(result)).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  busy_ = true;
  auto* worker = new PlayerAddonWorker(callback, info.This().As<Napi::Object>(), com_.object(),
                                       *this, progress);
  worker->queue();
  if (env.IsExceptionPending()) {
    // The worker is gone without running: nothing will end the playback.
    player_->finish();
    busy_ = false;
    release(com_.link());
  }
  return env.Undefined();
}

Napi::Value PlayerAddon::stop(const Napi::CallbackInfo& info) {
  if (player_) player_->stop();
  return info.Env().Undefined();
}

Napi::Value PlayerAddon::addImage(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  script::ImageArgument image;
  if (!script::readImage(info, 0, image) || !check(env)) return env.Undefined();
  if (image.data == nullptr) return env.Undefined();  // a detached buffer holds nothing
  if (!script::narrowToCrop(env, player_->buffer().width(), player_->buffer().height(), image)) {
    return env.Undefined();
  }
  // Longer than 4 GiB: what lies past is past any screen anyway.
  const bool added = player_->addImage(
      image.data, image.length > 0xffffffffu ? 0xffffffffu : static_cast<unsigned>(image.length),
      image.format, image.stride);
  // The picture's number, which the progress function reports once the
  // sender took it; 0 when there was no mapping to write into.
  return Napi::Number::New(env, added ? static_cast<double>(player_->added()) : 0.0);
}

Napi::Value PlayerAddon::getSensors(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!info[0].IsTypedArray() ||
      info[0].As<Napi::TypedArray>().TypedArrayType() != napi_uint16_array) {
    Napi::TypeError::New(env, "array must be a Uint16Array").ThrowAsJavaScriptException();
    return env.Undefined();
  }
  if (!check(env)) return env.Undefined();
  Napi::Uint16Array array = info[0].As<Napi::Uint16Array>();
  if (array.Data() != nullptr) player_->getSensors(array.Data(), array.ElementLength());
  return env.Undefined();
}

Napi::Value PlayerAddon::getScreen(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::uint32_t angle = 0;
  if (!script::readAngle(info, 0, "angle", angle)) return env.Undefined();
  const Topology* topology = TopAddon::unwrap(info[1]);
  if (topology == nullptr) return env.Undefined();
  Buffer::Mode mode;
  if (!readMode(info, 2, mode)) return env.Undefined();
  if (!check(env)) return env.Undefined();
  Player::Screen screen;
  Player::SetUp result;
  try {
    result = player_->measure(*topology, angle, mode, screen);
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  if (result != Player::Ready) {
    Napi::Error::New(env, setUpMessage(result)).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  Napi::Object out = Napi::Object::New(env);
  out.Set("width", screen.width);
  out.Set("height", screen.height);
  out.Set("rows", screen.rows);
  out.Set("columns", screen.columns);
  out.Set("frames", screen.frames);
  return out;
}

Napi::Value PlayerAddon::getCounters(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!check(env)) return env.Undefined();
  const Player::Counters c = player_->counters();
  Napi::Object out = Napi::Object::New(env);
  out.Set("framesSent", static_cast<double>(c.framesSent));
  out.Set("slotsSkipped", static_cast<double>(c.slotsSkipped));
  out.Set("imagesDropped", static_cast<double>(c.imagesDropped));
  out.Set("statusEvents", static_cast<double>(c.statusEvents));
  out.Set("picturesAdded", static_cast<double>(player_->added()));
  out.Set("picturesTaken", static_cast<double>(player_->taken()));
  out.Set("sensorSweeps", static_cast<double>(player_->sweeps()));
  return out;
}

Napi::Value PlayerAddon::getFrames(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!check(env)) return env.Undefined();
  const Buffer& buffer = player_->buffer();
  const std::size_t mappingLength =
      buffer.mapping(0) != nullptr ? buffer.mapping(0)->frameLength() : 0;
  const std::size_t size = buffer.frameCount() * mappingLength;
  if (size == 0) return env.Undefined();
  Napi::Buffer<std::uint8_t> out = Napi::Buffer<std::uint8_t>::New(env, size);
  if (env.IsExceptionPending()) return env.Undefined();
  player_->copyFrames(out.Data(), size);
  return out;
}

}  // namespace lc
