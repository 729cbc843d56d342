#include "script/Arguments.h"

#include <cmath>
#include <string>

namespace lc::script {

namespace {
bool fail(Napi::Env env, const char* what, const char* kind) {
  Napi::TypeError::New(env, std::string(what) + " must be " + kind).ThrowAsJavaScriptException();
  return false;
}

// The number behind `value` when it is a finite whole number; the checks run
// on the double, so that nothing wraps before it is judged.
bool readInteger(Napi::Value value, const char* what, double& out) {
  if (!value.IsNumber()) return fail(value.Env(), what, "a number");
  out = value.As<Napi::Number>().DoubleValue();
  if (!std::isfinite(out) || std::trunc(out) != out) {
    return fail(value.Env(), what, "a finite whole number");
  }
  return true;
}

bool outOfRange(Napi::Env env, const char* what, uint32_t max) {
  Napi::RangeError::New(
      env, std::string(what) + " must be a whole number from 0 to " + std::to_string(max))
      .ThrowAsJavaScriptException();
  return false;
}
}  // namespace

bool readWhole(Napi::Value value, const char* what, uint32_t max, uint32_t& out) {
  double n = 0;
  if (!readInteger(value, what, n)) return false;
  if (!(n >= 0 && n <= max)) return outOfRange(value.Env(), what, max);
  out = static_cast<uint32_t>(n);
  return true;
}

bool readUint32(Napi::Value value, const char* what, uint32_t& out) {
  return readWhole(value, what, UINT32_MAX, out);
}

bool readClamped(Napi::Value value, const char* what, uint32_t ceiling, uint32_t& out) {
  double n = 0;
  if (!readInteger(value, what, n)) return false;
  if (n < 0) {
    Napi::RangeError::New(value.Env(), std::string(what) + " must not be negative")
        .ThrowAsJavaScriptException();
    return false;
  }
  out = n >= ceiling ? ceiling : static_cast<uint32_t>(n);
  return true;
}

bool readPort(Napi::Value value, const char* what, uint32_t& out) {
  return readWhole(value, what, 65535, out);
}

bool readString(Napi::Value value, const char* what, std::string& out) {
  if (!value.IsString()) return fail(value.Env(), what, "a string");
  out = value.As<Napi::String>().Utf8Value();
  return true;
}

bool readFunction(Napi::Value value, const char* what, Napi::Function& out) {
  if (!value.IsFunction()) return fail(value.Env(), what, "a function");
  out = value.As<Napi::Function>();
  return true;
}

bool readBoolean(Napi::Value value, const char* what, bool& out) {
  if (!value.IsBoolean()) return fail(value.Env(), what, "a boolean");
  out = value.As<Napi::Boolean>().Value();
  return true;
}

bool readAngle(Napi::Value value, const char* what, uint32_t& out) {
  if (!value.IsNumber()) return fail(value.Env(), what, "a finite number");
  double degrees = value.As<Napi::Number>().DoubleValue();
  if (!std::isfinite(degrees)) return fail(value.Env(), what, "a finite number");
  // fmod keeps the exact remainder for any magnitude, so 2^53 + 90 still
  // lands on a whole number of degrees.
  double turned = std::fmod(std::trunc(degrees), 360.0);
  if (turned < 0) turned += 360.0;
  out = static_cast<uint32_t>(turned) % 360;
  return true;
}

bool readOptions(const Napi::CallbackInfo& info, size_t index, const char* what,
                 Napi::Object& out) {
  Napi::Value value = info[index];
  if (value.IsUndefined()) {
    out = Napi::Object::New(info.Env());
    return true;
  }
  if (!value.IsObject()) return fail(info.Env(), what, "an object");
  out = value.As<Napi::Object>();
  return true;
}

}  // namespace lc::script
