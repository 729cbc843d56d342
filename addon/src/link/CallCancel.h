#pragma once

#include <mutex>

#include "link/EventListener.h"

namespace lc {

// A cancel for the waits of one operation on a link: the listener the
// operation waits on is sent a Closed event, so that every wait of it ends at
// once, and the operation then sees itself cancelled. The link stays up: only
// this operation's own listener hears of the cancel.
class CallCancel {
 public:
  // From any thread, for good.
  void cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    if (listener_ != nullptr) listener_->closeEvent();
  }

  bool cancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
  }

  // Registers the operation's listener for the scope's length; a cancel that
  // came before still reaches it.
  class Scope {
   public:
    Scope(CallCancel& cancel, EventListener& listener) : cancel_(cancel) {
      std::lock_guard<std::mutex> lock(cancel_.mutex_);
      cancel_.listener_ = &listener;
      if (cancel_.cancelled_) listener.closeEvent();
    }
    ~Scope() {
      std::lock_guard<std::mutex> lock(cancel_.mutex_);
      cancel_.listener_ = nullptr;
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    CallCancel& cancel_;
  };

 private:
  // A leaf: closeEvent takes only the listener's own lock.
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  EventListener* listener_ = nullptr;
};

}  // namespace lc
