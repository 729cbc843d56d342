#include "script/TopDocument.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace lc {
namespace topdoc {

namespace {

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

std::mutex helpersMutex;
std::unordered_map<napi_env, std::unique_ptr<Helpers>> helpersByEnv;

// How a document value reads as the unsigned integer its JSON text would
// hold: a finite whole number from 0 to 2^32 - 1 (JSON writes -0 as 0).
bool readUInt(double n, std::uint32_t& out) {
  if (!(n >= 0 && n <= 4294967295.0) || std::floor(n) != n) return false;
  out = static_cast<std::uint32_t>(n);
  return true;
}

}  // namespace

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

}  // namespace topdoc
}  // namespace lc
