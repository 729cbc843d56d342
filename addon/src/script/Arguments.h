#pragma once

// Reading and checking script arguments: every wrapper refuses a wrong value
// with one clear script error before anything reaches the core.

#include <napi.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lc::script {

// Marks a freshly constructed script object as one of ours, so that unwrap
// can refuse objects of other classes instead of reinterpreting them.
inline void tagObject(const Napi::CallbackInfo& info, const napi_type_tag& tag) {
  info.This().As<Napi::Object>().TypeTag(&tag);
}

// The native object behind a script object of class T, or nullptr with a
// pending TypeError when the value is not such an object.
template <typename T>
T* unwrapTagged(Napi::Value value, const napi_type_tag& tag, const char* expected) {
  Napi::Env env = value.Env();
  if (value.IsEmpty() || !value.IsObject() || !value.As<Napi::Object>().CheckTypeTag(&tag)) {
    Napi::TypeError::New(env, std::string("expected a ") + expected + " object")
        .ThrowAsJavaScriptException();
    return nullptr;
  }
  T* wrapper = T::Unwrap(value.As<Napi::Object>());
  if (wrapper == nullptr && !env.IsExceptionPending()) {
    Napi::TypeError::New(env, std::string("expected a ") + expected + " object")
        .ThrowAsJavaScriptException();
  }
  return wrapper;
}

// Value readers. Each raises a TypeError naming the value and returns false
// when it has the wrong type; `what` is the name shown ("angle",
// "options.port"). The argument forms read info[index] (undefined past the
// end); the property forms read object[key], undefined when missing.
// A whole number from 0 to 2^32 - 1, checked before any conversion: a
// non-number, NaN, an infinity or a fraction raises a TypeError, a whole
// number out of range a RangeError (cut to 32 bits it would be another
// value).
bool readUint32(Napi::Value value, const char* what, uint32_t& out);
// A whole number from 0 to `max`, refused as readUint32 refuses.
bool readWhole(Napi::Value value, const char* what, uint32_t max, uint32_t& out);
// A whole number from 0 up, any larger one read as `ceiling`: a byte field
// that saturates (a luminosity level of 1000 or 2^53 is 255).
bool readClamped(Napi::Value value, const char* what, uint32_t ceiling, uint32_t& out);
// A TCP or UDP port: a whole number from 0 to 65535.
bool readPort(Napi::Value value, const char* what, uint32_t& out);
bool readString(Napi::Value value, const char* what, std::string& out);
bool readFunction(Napi::Value value, const char* what, Napi::Function& out);
bool readBoolean(Napi::Value value, const char* what, bool& out);
// A whole number of degrees, taken modulo 360 into 0..359 (-90 is 270);
// fractions are cut toward zero. NaN, the infinities and non-numbers are
// refused.
bool readAngle(Napi::Value value, const char* what, uint32_t& out);

inline bool readUint32(const Napi::CallbackInfo& info, size_t index, const char* what,
                       uint32_t& out) {
  return readUint32(info[index], what, out);
}
inline bool readString(const Napi::CallbackInfo& info, size_t index, const char* what,
                       std::string& out) {
  return readString(info[index], what, out);
}
inline bool readFunction(const Napi::CallbackInfo& info, size_t index, const char* what,
                         Napi::Function& out) {
  return readFunction(info[index], what, out);
}
inline bool readAngle(const Napi::CallbackInfo& info, size_t index, const char* what,
                      uint32_t& out) {
  return readAngle(info[index], what, out);
}

// A property of an options object. Missing (undefined) properties leave
// `out` as it is and succeed when `required` is false, so callers set the
// default first. A pending exception (a throwing getter) fails the read.
template <typename T>
bool readProperty(Napi::Object object, const char* key, const char* what,
                  bool (*reader)(Napi::Value, const char*, T&), T& out, bool required = false) {
  Napi::Env env = object.Env();
  Napi::Value value = object.Get(key);
  if (env.IsExceptionPending()) return false;
  if (value.IsUndefined() && !required) return true;
  return reader(value, what, out);
}

// An optional options object at info[index]: undefined gives an empty
// object; anything else that is not an object raises a TypeError.
bool readOptions(const Napi::CallbackInfo& info, size_t index, const char* what, Napi::Object& out);

}  // namespace lc::script
