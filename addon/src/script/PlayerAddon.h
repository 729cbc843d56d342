#pragma once

#include <napi.h>

#include <memory>

#include "player/Player.h"
#include "script/ComHold.h"

namespace lc {

// Script class "Player": streams images to the tiles of one link and reads
// their sensors. A playback runs on a worker of its own from "start" until
// "stop", the link's end or the relay's silence; then its callback runs once.
class PlayerAddon : public Napi::ObjectWrap<PlayerAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit PlayerAddon(const Napi::CallbackInfo& info);
  ~PlayerAddon() override;

 private:
  friend class PlayerAddonWorker;

  Napi::Value start(const Napi::CallbackInfo& info);
  Napi::Value stop(const Napi::CallbackInfo& info);
  Napi::Value addImage(const Napi::CallbackInfo& info);
  Napi::Value getSensors(const Napi::CallbackInfo& info);
  Napi::Value getScreen(const Napi::CallbackInfo& info);
  Napi::Value getCounters(const Napi::CallbackInfo& info);
  Napi::Value getFrames(const Napi::CallbackInfo& info);

  // False, with a script Error pending, when the object has no player (its
  // constructor was refused).
  bool check(Napi::Env env) const;

  script::ComHold com_;
  // Shared with the running worker, which may outlive this object while the
  // runtime tears down.
  std::shared_ptr<Player> player_;
  // From "start" until the playback's callback ran.
  bool busy_ = false;
};

}  // namespace lc
