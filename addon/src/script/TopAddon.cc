#include "script/TopAddon.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "script/ComAddon.h"
#include "script/ScriptFrame.h"
#include "topology/GraphVisitor.h"
#include "topology/Module.h"
#include "topology/TopologyComputation.h"

namespace lc {

namespace {

constexpr napi_type_tag kTopologyTag = {0x6c63746f706f6c6fULL, 0x6779000000000001ULL};

// One method of the runtime's global JSON object, with the object itself as
// the receiver; false with the runtime's exception pending on failure.
bool jsonMethod(Napi::Env env, const char* name, Napi::Object& json, Napi::Function& method) {
  Napi::Value global = env.Global().Get("JSON");
  if (env.IsExceptionPending() || !global.IsObject()) return false;
  json = global.As<Napi::Object>();
  Napi::Value value = json.Get(name);
  if (env.IsExceptionPending() || !value.IsFunction()) return false;
  method = value.As<Napi::Function>();
  return true;
}

// Reading a document or building a matrix through one Node-API call per
// value cost several times what the runtime's own JSON.parse takes. These
// helpers run in the script's engine instead, compiled once per runtime;
// the runtime functions they use are taken when they are compiled, so a
// script replacing them later changes nothing.
//
// read(doc, objectPrototype, maxModules, maxLinks) flattens the shapes the
// relay's documents have (arrays of plain objects, made by a literal or
// JSON.parse and without toJSON, holding numbers, as getTop returns them)
// into doubles: per module id, type, the neighbour count (-1 when
// "neighbours" is absent, null or a number), then channel, id and child of
// each. Anything else (strings, boxed numbers, toJSON, holes) gives null,
// and the caller goes through the JSON text, whose rules then decide. Too
// many modules gives their count, too many links of one module minus theirs.
//
// matrix(cells, height, width) makes the rows of 0 and 1 from one byte per
// cell; top(flat, modules) makes the document getTop returns from doubles
// laid out as read's.
constexpr const char kHelpersSource[] = R"js((function (getPrototypeOf, isArray, F64, Arr) {
  'use strict';
  function plain(v, proto) {
    return typeof v === 'object' && v !== null && !isArray(v) &&
      getPrototypeOf(v) === proto && !('toJSON' in v);
  }
  function read(doc, proto, maxModules, maxLinks) {
    if ('toJSON' in doc) return null;
    const length = doc.length;
    if (typeof length !== 'number' || length % 1 !== 0) return null;
    if (length > maxModules) return length;
    const out = [];
    let n = 0;
    for (let i = 0; i < length; i++) {
      const m = doc[i];
      if (!plain(m, proto)) return null;
      const id = m.id;
      if (typeof id !== 'number') return null;
      const type = m.type;
      if (typeof type !== 'number') return null;
      out[n++] = id;
      out[n++] = type;
      const links = m.neighbours;
      if (links === undefined || links === null || typeof links === 'number') {
        out[n++] = -1;
        continue;
      }
      if (!isArray(links) || 'toJSON' in links) return null;
      const count = links.length;
      if (typeof count !== 'number' || !(count >= 0) || count % 1 !== 0) return null;
      if (count > maxLinks) return -count;
      out[n++] = count;
      for (let j = 0; j < count; j++) {
        const l = links[j];
        if (!plain(l, proto)) return null;
        const channel = l.channel;
        if (typeof channel !== 'number') return null;
        const to = l.id;
        if (typeof to !== 'number') return null;
        const child = l.child;
        if (typeof child !== 'number') return null;
        out[n++] = channel;
        out[n++] = to;
        out[n++] = child;
      }
    }
    return new F64(out);
  }
  function matrix(cells, height, width) {
    // Made at their full length: grown one cell at a time they cost five
    // times as much.
    const out = new Arr(height);
    for (let i = 0, k = 0; i < height; i++) {
      const row = new Arr(width);
      for (let j = 0; j < width; j++) row[j] = cells[k++];
      out[i] = row;
    }
    return out;
  }
  function top(flat, modules) {
    const out = new Arr(modules);
    for (let i = 0, k = 0; i < modules; i++) {
      const id = flat[k];
      const type = flat[k + 1];
      const count = flat[k + 2];
      k += 3;
      const neighbours = new Arr(count);
      for (let j = 0; j < count; j++, k += 3) {
        neighbours[j] = { channel: flat[k], id: flat[k + 1], child: flat[k + 2] };
      }
      out[i] = { id, type, neighbours };
    }
    return out;
  }
  return { read, matrix, top };
})(Object.getPrototypeOf, Array.isArray, Float64Array, Array))js";

struct Helpers {
  Napi::FunctionReference read;
  Napi::FunctionReference matrix;
  Napi::FunctionReference top;
};

std::mutex helpersMutex;
std::unordered_map<napi_env, std::unique_ptr<Helpers>> helpersByEnv;

// This runtime's helpers, compiled at the first use; nullptr (with nothing
// pending) when they cannot be made, and the callers take the slower road.
Helpers* helpers(Napi::Env env) {
  {
    std::lock_guard<std::mutex> lock(helpersMutex);
    auto it = helpersByEnv.find(env);
    if (it != helpersByEnv.end()) return it->second.get();
  }
  napi_value result = nullptr;
  napi_value source = Napi::String::New(env, kHelpersSource);
  if (napi_run_script(env, source, &result) != napi_ok) {
    if (env.IsExceptionPending()) env.GetAndClearPendingException();
    return nullptr;
  }
  const Napi::Object made(env, result);
  auto made_helpers = std::make_unique<Helpers>();
  made_helpers->read = Napi::Persistent(made.Get("read").As<Napi::Function>());
  made_helpers->matrix = Napi::Persistent(made.Get("matrix").As<Napi::Function>());
  made_helpers->top = Napi::Persistent(made.Get("top").As<Napi::Function>());
  Helpers* raw = made_helpers.get();
  {
    std::lock_guard<std::mutex> lock(helpersMutex);
    helpersByEnv[env] = std::move(made_helpers);
  }
  // The references belong to the runtime; they go before it does.
  napi_add_env_cleanup_hook(
      env,
      [](void* key) {
        std::unique_ptr<Helpers> gone;
        std::lock_guard<std::mutex> lock(helpersMutex);
        auto it = helpersByEnv.find(static_cast<napi_env>(key));
        if (it != helpersByEnv.end()) {
          gone = std::move(it->second);
          helpersByEnv.erase(it);
        }
      },
      static_cast<napi_env>(env));
  return raw;
}

// How a document value reads as the unsigned integer its JSON text would
// hold: a finite whole number from 0 to 2^32 - 1 (JSON writes -0 as 0).
bool readUInt(double n, std::uint32_t& out) {
  if (!(n >= 0 && n <= 4294967295.0) || std::floor(n) != n) return false;
  out = static_cast<std::uint32_t>(n);
  return true;
}

// The document of the walk from the relay, as the top helper takes it: the
// same modules, links and values, in the same order, as Topology::getJSON.
class FlatVisitor : public GraphVisitor {
 public:
  void enter(const Module& module) override { add(module); }
  void enter(const Module&, const Module& module) override { add(module); }

  std::vector<double> numbers;
  std::size_t modules = 0;

 private:
  void add(const Module& module) {
    ++modules;
    numbers.push_back(module.id());
    numbers.push_back(static_cast<unsigned>(module.type()));
    numbers.push_back(static_cast<double>(module.links().size()));
    for (std::uint32_t channel : module.links()) {
      const Module* neighbour = module.neighbour(channel);
      // "child" names the modules that declared this one their parent.
      const bool child = neighbour->parent() != nullptr && neighbour->parent()->id() == module.id();
      numbers.push_back(channel);
      numbers.push_back(neighbour->id());
      numbers.push_back(child ? 1 : 0);
    }
  }
};

enum class Read { Done, Unusual, Failed };

// Takes the script's document apart without turning it into text, through
// the read helper.
Read readDocument(const Napi::Value& value, std::vector<Topology::DocumentModule>& document) {
  if (!value.IsArray()) return Read::Unusual;
  Napi::Env env = value.Env();
  Helpers* made = helpers(env);
  if (made == nullptr) return Read::Unusual;
  const Napi::Value objectClass = env.Global().Get("Object");
  if (env.IsExceptionPending()) return Read::Failed;
  if (!objectClass.IsFunction()) return Read::Unusual;
  const Napi::Value objectPrototype = objectClass.As<Napi::Object>().Get("prototype");
  if (env.IsExceptionPending()) return Read::Failed;
  const Napi::Value flat =
      made->read.Call({value, objectPrototype, Napi::Number::New(env, Topology::kMaxModules),
                       Napi::Number::New(env, Topology::kMaxLinks)});
  if (env.IsExceptionPending()) return Read::Failed;
  if (flat.IsNumber()) {
    // Checked before anything is allocated: 2^32 - 1 elements would not fit.
    const double count = flat.As<Napi::Number>().DoubleValue();
    const std::string message =
        count > 0 ? "a topology document of " + std::to_string(std::uint64_t(count)) +
                        " modules is longer than module ids can name (" +
                        std::to_string(Topology::kMaxModules) + ")"
                  : "a topology module has " + std::to_string(std::uint64_t(-count)) +
                        " neighbours; at most " + std::to_string(Topology::kMaxLinks) + " are read";
    Napi::RangeError::New(env, message).ThrowAsJavaScriptException();
    return Read::Failed;
  }
  if (!flat.IsTypedArray()) return Read::Unusual;
  const Napi::Float64Array numbers = flat.As<Napi::Float64Array>();
  const double* p = numbers.Data();
  const double* const end = p + numbers.ElementLength();
  while (p != end) {
    Topology::DocumentModule& module = document.emplace_back();
    module.identified = readUInt(p[0], module.id);
    module.identified = readUInt(p[1], module.type) && module.identified;
    const double count = p[2];
    p += 3;
    if (count < 0) continue;
    module.hasNeighbours = true;
    module.neighbours.resize(static_cast<std::size_t>(count));
    for (Topology::DocumentLink& out : module.neighbours) {
      out.wellFormed = readUInt(p[0], out.channel);
      out.wellFormed = readUInt(p[1], out.id) && out.wellFormed;
      out.wellFormed = readUInt(p[2], out.child) && out.wellFormed;
      p += 3;
    }
  }
  return Read::Done;
}

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
