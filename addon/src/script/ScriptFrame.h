#pragma once

// Pieces every script class and worker shares, so that each wrapper stays a
// short list of argument reads and one call into the core.

#include <napi.h>

#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

namespace lc::script {

// Defines a class and stores its constructor on the exports object.
template <typename T>
Napi::Object defineClass(Napi::Env env, Napi::Object exports, const char* exportName,
                         const char* className,
                         const std::vector<Napi::ClassPropertyDescriptor<T>>& properties) {
  Napi::Function constructor = T::DefineClass(env, className, properties);
  if (env.IsExceptionPending()) return exports;
  exports.Set(exportName, constructor);
  return exports;
}

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

// Argument readers: each raises a TypeError naming the argument and returns
// false when the value has the wrong type.
bool readUint32(const Napi::CallbackInfo& info, size_t index, const char* what, uint32_t& out);
bool readString(const Napi::CallbackInfo& info, size_t index, const char* what, std::string& out);
bool readFunction(const Napi::CallbackInfo& info, size_t index, const char* what,
                  Napi::Function& out);

// Holds script objects alive while a worker uses their native objects. The
// references are released when the worker is destroyed, on the script thread,
// after its completion callback ran.
class KeepAlive {
 public:
  void hold(Napi::Object object) { refs_.push_back(Napi::Persistent(object)); }
  void hold(std::initializer_list<Napi::Object> objects) {
    for (const Napi::Object& o : objects) hold(o);
  }

 private:
  std::vector<Napi::ObjectReference> refs_;
};

// A plain worker: resource name "generic", a fresh empty object as receiver
// and resource.
class Worker : public Napi::AsyncWorker {
 protected:
  Worker(Napi::Function callback, std::initializer_list<Napi::Object> keep)
      : Napi::AsyncWorker(callback, "generic", Napi::Object::New(callback.Env())) {
    keep_.hold(keep);
  }

 private:
  KeepAlive keep_;
};

// A worker of a device command: its callback receives one boolean, true when
// the operation failed. Nothing thrown by run() crosses the pool thread.
class CommandWorker : public Worker {
 protected:
  using Worker::Worker;
  virtual bool run() = 0;

  void Execute() override {
    try {
      failed_ = !run();
    } catch (const std::exception&) {
      failed_ = true;
    } catch (...) {
      failed_ = true;
    }
  }

  void OnOK() override {
    Napi::Env env = Env();
    Napi::HandleScope scope(env);
    Callback().Call(Receiver().Value(), {Napi::Boolean::New(env, failed_)});
  }

 private:
  bool failed_ = true;
};

// A worker that posts progress items of type Item while it runs.
template <typename Item>
class ProgressWorker : public Napi::AsyncProgressQueueWorker<Item> {
  using Base = Napi::AsyncProgressQueueWorker<Item>;

 protected:
  ProgressWorker(Napi::Function callback, std::initializer_list<Napi::Object> keep)
      : Base(callback, "generic", Napi::Object::New(callback.Env())) {
    keep_.hold(keep);
  }

 private:
  KeepAlive keep_;
};

}  // namespace lc::script
