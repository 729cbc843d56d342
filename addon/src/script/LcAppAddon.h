#pragma once

#include <napi.h>

#include "firmware/LcApp.h"

namespace lc {

// Script class "LcApp": an application package opened from a file, handed
// to other script classes (the firmware upload) through unwrap.
class LcAppAddon : public Napi::ObjectWrap<LcAppAddon> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit LcAppAddon(const Napi::CallbackInfo& info);

  // The package inside a script "LcApp" object; nullptr with a pending
  // TypeError for any other value.
  static LcApp* unwrap(Napi::Value value);

 private:
  Napi::Value openFromFile(const Napi::CallbackInfo& info);
  Napi::Value getTypes(const Napi::CallbackInfo& info);

  LcApp app_;
};

}  // namespace lc
