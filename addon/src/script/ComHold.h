#pragma once

#include <napi.h>

#include "link/Communication.h"
#include "script/ComAddon.h"

namespace lc::script {

// The link of the "Com" object that a script object was built on, with a
// reference that keeps the "Com" (and so the link) alive as long as the
// script object that holds this.
class ComHold {
 public:
  // False, with a TypeError pending, when `value` is not a "Com" object.
  bool take(Napi::Value value) {
    link_ = ComAddon::unwrap(value);
    if (link_ == nullptr) return false;
    ref_ = Napi::Persistent(value.As<Napi::Object>());
    return true;
  }

  // nullptr until take succeeded.
  Communication* link() const { return link_; }
  Napi::Object object() const { return ref_.Value(); }

 private:
  Communication* link_ = nullptr;
  Napi::ObjectReference ref_;
};

}  // namespace lc::script
