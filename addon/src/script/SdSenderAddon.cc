#include "script/SdSenderAddon.h"

#include <ctime>

#include "script/ComAddon.h"

namespace lc {

bool SdSenderAddonWorker::transfer() {
  const std::string name =
      naming_ == SimulatorTime ? SdSender::simulatorName(std::time(nullptr)) : std::string();
  return sender_.start(path_, name, pacer());
}

void SdSenderAddonWorker::queueSend(const Napi::CallbackInfo& info, Napi::Object com,
                                    Communication& link, Naming naming,
                                    std::shared_ptr<script::Operations> operations) {
  std::string path;
  if (!script::readString(info, 0, "path", path)) return;
  Napi::Function callback, progress;
  if (!script::readTransferCallbacks(info, 1, callback, progress)) return;
  auto* worker = new SdSenderAddonWorker(callback, progress, info.This().As<Napi::Object>(), com,
                                         link, std::move(path), naming);
  worker->track(std::move(operations));
  worker->queue();
}

Napi::Object SdSenderAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<SdSenderAddon>(env, exports, "SdSender", "SdSender",
                                            {InstanceMethod("send", &SdSenderAddon::send),
                                             InstanceMethod("cancel", &SdSenderAddon::cancel)});
}

SdSenderAddon::SdSenderAddon(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<SdSenderAddon>(info) {
  link_ = ComAddon::unwrap(info[0]);
  if (link_ == nullptr) return;
  com_ = Napi::Persistent(info[0].As<Napi::Object>());
}

Napi::Value SdSenderAddon::send(const Napi::CallbackInfo& info) {
  if (link_ == nullptr) return info.Env().Undefined();
  SdSenderAddonWorker::queueSend(info, com_.Value(), *link_, SdSenderAddonWorker::BaseName,
                                 operations_);
  return info.Env().Undefined();
}

}  // namespace lc
