#pragma once

#include <napi.h>

#include <memory>
#include <string>

#include "commands/SdSender.h"
#include "link/Communication.h"
#include "script/ComHold.h"
#include "script/ScriptFrame.h"
#include "script/TransferWorker.h"

namespace lc {

// Script class "SdSender": copies a file to the relay's SD card under its
// base name.
class SdSenderAddon : public Napi::ObjectWrap<SdSenderAddon>, public script::Cancellable {
 public:
  // A member of this class, so the method table calls it on this type
  // (a base's member pointer would be called on the wrong address).
  Napi::Value cancel(const Napi::CallbackInfo& info) { return Cancellable::cancel(info); }
  static Napi::Object Init(Napi::Env env, Napi::Object exports);
  explicit SdSenderAddon(const Napi::CallbackInfo& info);

 private:
  Napi::Value send(const Napi::CallbackInfo& info);

  script::ComHold com_;
};

// The worker of "SdSender" and "SimLoader": one file, named on the relay by
// its base name, or for the simulator after the time the work starts.
class SdSenderAddonWorker : public script::TransferWorker {
 public:
  enum Naming { BaseName, SimulatorTime };

  // Each transfer has a sender of its own, so that cancelling one ends that
  // transfer only.
  SdSenderAddonWorker(Napi::Function callback, Napi::Function progress, Napi::Object self,
                      Napi::Object com, Communication& link, std::string path, Naming naming)
      : TransferWorker(callback, progress, {self, com}),
        sender_(link),
        link_(link),
        path_(std::move(path)),
        naming_(naming) {}

  // Reads "send"'s arguments (path, callback, progress) and queues the
  // worker; a wrong argument leaves a TypeError pending.
  static void queueSend(const Napi::CallbackInfo& info, const script::ComHold& com, Naming naming,
                        std::shared_ptr<script::Operations> operations);

 protected:
  bool transfer() override;
  void abandon() override {
    sender_.cancel();
    link_.retire();
  }
  void cancel() override { sender_.cancel(); }

 private:
  SdSender sender_;
  Communication& link_;
  std::string path_;
  Naming naming_;
};

}  // namespace lc
