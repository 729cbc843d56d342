#include "script/TopAddon.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "script/ComAddon.h"
#include "script/ScriptFrame.h"
#include "script/TopDocument.h"
#include "topology/GraphVisitor.h"
#include "topology/Module.h"
#include "topology/TopologyComputation.h"

namespace lc {

namespace {

using topdoc::FlatVisitor;
using topdoc::helpers;
using topdoc::Helpers;
using topdoc::jsonMethod;
using topdoc::Read;
using topdoc::readDocument;

constexpr napi_type_tag kTopologyTag = {0x6c63746f706f6c6fULL, 0x6779000000000001ULL};

}  // namespace

// Runs one computation on its own thread. The graph is built inside the
// computation and moved into the script object only on completion, on the
// script thread.
class TopAddonWorker : public script::CommandWorker {
 public:
  TopAddonWorker(Napi::Function callback, Napi::Object self, Napi::Object com, TopAddon& owner,
                 Communication& link, ModuleType relayType, ModuleType tileType)
      : CommandWorker(callback, {self, com}),
        owner_(owner),
        link_(link),
        computation_(link),
        relayType_(relayType),
        tileType_(tileType) {}

 protected:
  bool run() override {
    succeeded_ = computation_.update(relayType_, tileType_);
    return succeeded_;
  }

  void onComplete(Napi::Env env) override {
    if (succeeded_) owner_.topology_ = computation_.takeTopology();
    CommandWorker::onComplete(env);
  }

  void abandon() override {
    computation_.cancel();
    link_.retire();
  }
  void cancel() override { computation_.cancel(); }

 private:
  TopAddon& owner_;
  Communication& link_;
  TopologyComputation computation_;
  ModuleType relayType_;
  ModuleType tileType_;
  // Written by the worker's thread before the completion is posted.
  bool succeeded_ = false;
};

Napi::Object TopAddon::Init(Napi::Env env, Napi::Object exports) {
  return script::defineClass<TopAddon>(
      env, exports, "Topology", "Topology",
      {InstanceMethod("getTop", &TopAddon::getTop),
       InstanceMethod("getMatrix", &TopAddon::getMatrix),
       InstanceMethod("update", &TopAddon::update), InstanceMethod("cancel", &TopAddon::cancel)});
}

TopAddon::TopAddon(const Napi::CallbackInfo& info) : Napi::ObjectWrap<TopAddon>(info) {
  script::tagObject(info, kTopologyTag);
  if (info.Length() < 1 || info[0].IsUndefined()) return;

  Napi::Env env = info.Env();
  // The usual document is read where it lies; turning it into text and
  // parsing that again cost ten times a JSON.parse of the same text.
  try {
    std::vector<Topology::DocumentModule> document;
    const Read read = readDocument(info[0], document);
    if (read == Read::Failed) return;
    if (read == Read::Done) {
      topology_.fromDocument(document);
      return;
    }
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return;
  }

  Napi::Object json;
  Napi::Function stringify;
  if (!jsonMethod(env, "stringify", json, stringify)) return;
  Napi::Value text = stringify.Call(json, {info[0]});
  // A value that JSON cannot hold (a circular object) leaves its error
  // pending for the caller; one without a JSON form (a function) gives no
  // text and so an empty topology.
  if (env.IsExceptionPending()) return;
  std::string document = text.IsString() ? text.As<Napi::String>().Utf8Value() : std::string();
  // A document that is refused is logged by fromJSON; the object stays
  // usable with what was taken. Only memory exhaustion could throw here; it
  // must not cross into the runtime.
  try {
    topology_.fromJSON(document);
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
  }
}

Topology* TopAddon::unwrap(Napi::Value value) {
  TopAddon* wrapper = script::unwrapTagged<TopAddon>(value, kTopologyTag, "Topology");
  return wrapper != nullptr ? &wrapper->topology_ : nullptr;
}

bool TopAddon::checkRoot(Napi::Env env) const {
  if (topology_.contains(0)) return true;
  Napi::Error::New(env, "Topology has no relay (module 0)").ThrowAsJavaScriptException();
  return false;
}

Napi::Value TopAddon::getTop(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkRoot(env)) return env.Undefined();
  if (Helpers* made = helpers(env)) {
    FlatVisitor flat;
    try {
      topology_.visitAll(flat, 0);
    } catch (const std::exception& e) {
      Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
      return env.Undefined();
    }
    Napi::Float64Array numbers = Napi::Float64Array::New(env, flat.numbers.size());
    if (env.IsExceptionPending()) return env.Undefined();
    std::copy(flat.numbers.begin(), flat.numbers.end(), numbers.Data());
    Napi::Value result =
        made->top.Call({numbers, Napi::Number::New(env, static_cast<double>(flat.modules))});
    if (env.IsExceptionPending()) return env.Undefined();
    return result;
  }
  std::string document;
  try {
    document = topology_.getJSON();
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  Napi::Object json;
  Napi::Function parse;
  if (!jsonMethod(env, "parse", json, parse)) return env.Undefined();
  Napi::Value result = parse.Call(json, {Napi::String::New(env, document)});
  if (env.IsExceptionPending()) return env.Undefined();
  return result;
}

Napi::Value TopAddon::getMatrix(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::uint32_t angle = 0;
  if (!script::readAngle(info, 0, "angle", angle)) return env.Undefined();
  if (!checkRoot(env)) return env.Undefined();
  Napi::Value kept = keptMatrix(env, angle);
  if (!kept.IsEmpty()) return kept;
  if (env.IsExceptionPending()) return env.Undefined();
  std::vector<std::string> rows;
  try {
    rows = topology_.getMatrix(angle);
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  // A staircase has millions of cells: one call into the runtime per cell
  // took seconds. The matrix helper builds the rows from one byte per cell
  // (when all rows are as wide); without it, the runtime's JSON.parse
  // builds them from text.
  const std::size_t width = rows.empty() ? 0 : rows[0].size();
  bool even = true;
  for (const std::string& row : rows) even = even && row.size() == width;
  Helpers* made = even ? helpers(env) : nullptr;
  if (made != nullptr) {
    Napi::Uint8Array cells = Napi::Uint8Array::New(env, rows.size() * width);
    if (env.IsExceptionPending()) return env.Undefined();
    std::uint8_t* cell = cells.Data();
    for (const std::string& row : rows) {
      for (char c : row) *cell++ = c == '1' ? 1 : 0;
    }
    const double height = static_cast<double>(rows.size());
    if (rows.size() * width <= kMaxKeptCells) {
      keptHelpers_ = made;
      KeptMatrix& slot = kept_[nextKept_];
      nextKept_ = (nextKept_ + 1) % kept_.size();
      slot = {topology_.revision(), angle, height, double(width),
              Napi::Persistent(static_cast<Napi::Object>(cells))};
    }
    rows = {};
    Napi::Value result = made->matrix.Call(
        {cells, Napi::Number::New(env, height), Napi::Number::New(env, double(width))});
    if (env.IsExceptionPending()) return env.Undefined();
    return result;
  }
  Napi::Object json;
  Napi::Function parse;
  if (jsonMethod(env, "parse", json, parse)) {
    std::size_t cells = 0;
    for (const std::string& row : rows) cells += row.size();
    std::string text;
    text.reserve(2 * cells + 3 * rows.size() + 2);
    text.push_back('[');
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i > 0) text.push_back(',');
      text.push_back('[');
      for (std::size_t j = 0; j < rows[i].size(); ++j) {
        if (j > 0) text.push_back(',');
        text.push_back(rows[i][j] == '1' ? '1' : '0');
      }
      text.push_back(']');
    }
    text.push_back(']');
    rows = {};
    Napi::Value result = parse.Call(json, {Napi::String::New(env, text)});
    if (env.IsExceptionPending()) return env.Undefined();
    return result;
  }
  if (env.IsExceptionPending()) return env.Undefined();
  // Without a JSON object (a script replaced it), cell by cell.
  Napi::Array matrix = Napi::Array::New(env, rows.size());
  for (std::uint32_t i = 0; i < rows.size(); ++i) {
    Napi::HandleScope scope(env);
    Napi::Array row = Napi::Array::New(env, rows[i].size());
    for (std::uint32_t j = 0; j < rows[i].size(); ++j) {
      row.Set(j, Napi::Number::New(env, rows[i][j] == '1' ? 1 : 0));
    }
    matrix.Set(i, row);
    if (env.IsExceptionPending()) return env.Undefined();
  }
  return matrix;
}

Napi::Value TopAddon::keptMatrix(Napi::Env env, std::uint32_t angle) {
  for (const KeptMatrix& kept : kept_) {
    if (kept.revision != topology_.revision() || kept.angle != angle) continue;
    // The call made most often: straight to Node-API.
    napi_value args[3] = {kept.cells.Value(), Napi::Number::New(env, kept.height),
                          Napi::Number::New(env, kept.width)};
    napi_value result = nullptr;
    if (napi_call_function(env, env.Undefined(), keptHelpers_->matrix.Value(), 3, args, &result) !=
        napi_ok) {
      return Napi::Value();
    }
    return Napi::Value(env, result);
  }
  return Napi::Value();
}

Napi::Value TopAddon::update(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::string relayTag;
  std::string tileTag;
  Napi::Function callback;
  if (!script::readString(info, 0, "relay tag", relayTag) ||
      !script::readString(info, 1, "tile tag", tileTag)) {
    return env.Undefined();
  }
  Communication* link = ComAddon::unwrap(info[2]);
  if (link == nullptr || !script::readFunction(info, 3, "callback", callback)) {
    return env.Undefined();
  }
  auto* worker =
      new TopAddonWorker(callback, info.This().As<Napi::Object>(), info[2].As<Napi::Object>(),
                         *this, *link, typeFromTag(relayTag), typeFromTag(tileTag));
  worker->track(operations_);
  worker->queue();
  return env.Undefined();
}

}  // namespace lc
