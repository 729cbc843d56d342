#include "script/SdSenderAddon.h"

#include <ctime>

namespace lc {

bool SdSenderAddonWorker::transfer() {
  const std::string name =
      naming_ == SimulatorTime ? SdSender::simulatorName(std::time(nullptr)) : std::string();
  return sender_.start(path_, name, pacer());
}

void SdSenderAddonWorker::queueSend(const Napi::CallbackInfo& info, const script::ComHold& com,
                                    Naming naming, std::shared_ptr<script::Operations> operations) {
  if (com.link() == nullptr) return;
  std::string path;
  if (!script::readString(info, 0, "path", path)) return;
  Napi::Function callback, progress;
  if (!script::readTransferCallbacks(info, 1, callback, progress)) return;
  auto* worker = new SdSenderAddonWorker(callback, progress, info.This().As<Napi::Object>(),
                                         com.object(), *com.link(), std::move(path), naming);
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
  com_.take(info[0]);
}

Napi::Value SdSenderAddon::send(const Napi::CallbackInfo& info) {
  SdSenderAddonWorker::queueSend(info, com_, SdSenderAddonWorker::BaseName, operations_);
  return info.Env().Undefined();
}

}  // namespace lc
