#include "script/PlayerAddon.h"

#include <exception>
#include <string>

#include "script/ComAddon.h"
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

bool readMode(const Napi::CallbackInfo& info, size_t index, Buffer::Mode& mode) {
  std::string name;
  if (!script::readString(info, index, "mode", name)) return false;
  mode = Player::modeFromName(name);
  return true;
}

}  // namespace

// Runs one playback: the player's loop until it ends, then the callback
// with undefined.
class PlayerAddonWorker : public script::ThreadWorker {
 public:
  PlayerAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com,
                    PlayerAddon& owner)
      : ThreadWorker(callback, {self, com}), owner_(owner), player_(owner.player_) {}

 protected:
  void execute() override {
    while (player_->run()) {
    }
  }
  void abandon() override { player_->abandon(); }
  void onComplete(Napi::Env env) override {
    // A loop cut short by an exception, or one that never ran, still ends
    // the playback, so that the next start is not refused.
    player_->finish();
    owner_.busy_ = false;
    if (hasReason())
      call(env, {env.Undefined(), reason(env)});
    else
      call(env, {env.Undefined()});
  }

 private:
  PlayerAddon& owner_;
  std::shared_ptr<Player> player_;
};

Napi::Object PlayerAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<PlayerAddon>(
      env, exports, "Player", "Player",
      {InstanceMethod("start", &PlayerAddon::start), InstanceMethod("stop", &PlayerAddon::stop),
       InstanceMethod("addImage", &PlayerAddon::addImage),
       InstanceMethod("getSensors", &PlayerAddon::getSensors),
       InstanceMethod("getScreen", &PlayerAddon::getScreen),
       InstanceMethod("getCounters", &PlayerAddon::getCounters)});
}

PlayerAddon::PlayerAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<PlayerAddon>(info) {
  Communication* link = ComAddon::unwrap(info[0]);
  if (link == nullptr) return;
  com_ = Napi::Persistent(info[0].As<Napi::Object>());
  player_ = std::make_shared<Player>(*link);
}

PlayerAddon::~PlayerAddon() {
  // Only reached with a playback running when the runtime goes away.
  if (busy_ && player_) player_->abandon();
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
  if (!check(env)) return env.Undefined();

  Player::SetUp result = busy_ ? Player::Busy : Player::Ready;
  if (result == Player::Ready) {
    try {
      result = player_->initScreen(*topology, angle, mode, sensors);
    } catch (const std::exception& e) {
      Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
      return env.Undefined();
    }
  }
  if (result != Player::Ready) {
    Napi::Error::New(env, setUpMessage(result)).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  busy_ = true;
  auto* worker =
      new PlayerAddonWorker(callback, info.This().As<Napi::Object>(), com_.Value(), *this);
  worker->queue();
  if (env.IsExceptionPending()) {
    // The worker is gone without running: nothing will end the playback.
    player_->finish();
    busy_ = false;
  }
  return env.Undefined();
}

Napi::Value PlayerAddon::stop(const Napi::CallbackInfo& info) {
  if (player_) player_->stop();
  return info.Env().Undefined();
}

Napi::Value PlayerAddon::addImage(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!info[0].IsTypedArray()) {
    Napi::TypeError::New(env, "image must be a Buffer or a Uint8Array")
        .ThrowAsJavaScriptException();
    return env.Undefined();
  }
  std::string format = "RGB";
  if (!info[1].IsUndefined() && !script::readString(info, 1, "format", format)) {
    return env.Undefined();
  }
  if (!check(env)) return env.Undefined();
  Napi::TypedArray image = info[0].As<Napi::TypedArray>();
  Napi::ArrayBuffer bytes = image.ArrayBuffer();
  if (env.IsExceptionPending()) return env.Undefined();
  const auto* data = static_cast<const unsigned char*>(bytes.Data());
  const std::size_t length = image.ByteLength();
  if (data == nullptr) return env.Undefined();  // a detached buffer holds nothing
  // Longer than 4 GiB: what lies past is past any screen anyway.
  player_->addImage(data + image.ByteOffset(),
                    length > 0xffffffffu ? 0xffffffffu : static_cast<unsigned>(length),
                    Player::formatFromName(format));
  return env.Undefined();
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
  return out;
}

}  // namespace lc
