#include "script/TopAddon.h"

#include <cmath>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "script/ComAddon.h"
#include "script/ScriptFrame.h"
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

// How a document value reads as the unsigned integer its JSON text would
// hold: a finite whole number from 0 to 2^32 - 1 (JSON writes -0 as 0).
bool readUInt(const Napi::Value& value, std::uint32_t& out) {
  const double n = value.As<Napi::Number>().DoubleValue();
  if (!(n >= 0 && n <= 4294967295.0) || std::floor(n) != n) return false;
  out = static_cast<std::uint32_t>(n);
  return true;
}

// A value the direct reader takes as JSON would: an object made by a
// literal or JSON.parse (its prototype is Object.prototype, so what Get
// finds is its own), without a toJSON that would stand in for it.
// Property names made once per document: a name given as C text is made
// into a script string again at every lookup.
struct Keys {
  explicit Keys(Napi::Env env)
      : id(Napi::String::New(env, "id")),
        type(Napi::String::New(env, "type")),
        neighbours(Napi::String::New(env, "neighbours")),
        channel(Napi::String::New(env, "channel")),
        child(Napi::String::New(env, "child")),
        toJSON(Napi::String::New(env, "toJSON")) {}
  Napi::String id, type, neighbours, channel, child, toJSON;
};

bool isPlainObject(const Napi::Value& value, napi_value objectPrototype, const Keys& keys) {
  if (!value.IsObject() || value.IsArray() || value.IsFunction()) return false;
  napi_value prototype = nullptr;
  bool same = false;
  if (napi_get_prototype(value.Env(), value, &prototype) != napi_ok ||
      napi_strict_equals(value.Env(), prototype, objectPrototype, &same) != napi_ok || !same) {
    return false;
  }
  return !value.As<Napi::Object>().Has(keys.toJSON);
}

enum class Read { Done, Unusual, Failed };

// Reads `key` of a plain object, which must be a number.
Read numberMember(const Napi::Object& object, const Napi::String& key, bool& isUInt,
                  std::uint32_t& out) {
  Napi::Value value = object.Get(key);
  if (object.Env().IsExceptionPending()) return Read::Failed;
  if (!value.IsNumber()) return Read::Unusual;
  isUInt = readUInt(value, out) && isUInt;
  return Read::Done;
}

// Takes the script's document apart without turning it into text. Only
// the shapes the relay's documents have (arrays of plain objects holding
// numbers, as getTop returns them) are read here; anything else (strings,
// boxed numbers, toJSON, holes) is Unusual, and the caller goes through
// the JSON text, whose rules then decide.
Read readDocument(const Napi::Value& value, std::vector<Topology::DocumentModule>& document) {
  if (!value.IsArray()) return Read::Unusual;
  Napi::Env env = value.Env();
  const Napi::Value objectClass = env.Global().Get("Object");
  if (env.IsExceptionPending()) return Read::Failed;
  if (!objectClass.IsFunction()) return Read::Unusual;
  const Napi::Value objectPrototype = objectClass.As<Napi::Object>().Get("prototype");
  if (env.IsExceptionPending()) return Read::Failed;
  const Keys keys(env);
  const Napi::Array array = value.As<Napi::Array>();
  if (array.Has(keys.toJSON)) return Read::Unusual;
  const std::uint32_t length = array.Length();
  if (length > Topology::kMaxModules) {
    // Checked before anything is allocated: 2^32 - 1 elements would not fit.
    Napi::RangeError::New(env, "a topology document of " + std::to_string(length) +
                                   " modules is longer than module ids can name (" +
                                   std::to_string(Topology::kMaxModules) + ")")
        .ThrowAsJavaScriptException();
    return Read::Failed;
  }
  document.resize(length);
  for (std::uint32_t i = 0; i < length; ++i) {
    // The values read for one module are not needed past it.
    Napi::HandleScope scope(env);
    const Napi::Value element = array.Get(i);
    if (array.Env().IsExceptionPending()) return Read::Failed;
    if (!isPlainObject(element, objectPrototype, keys)) return Read::Unusual;
    const Napi::Object object = element.As<Napi::Object>();
    Topology::DocumentModule& module = document[i];
    module.identified = true;
    for (auto [key, field] :
         {std::pair{&keys.id, &module.id}, std::pair{&keys.type, &module.type}}) {
      const Read read = numberMember(object, *key, module.identified, *field);
      if (read != Read::Done) return read;
    }
    const Napi::Value neighbours = object.Get(keys.neighbours);
    if (array.Env().IsExceptionPending()) return Read::Failed;
    if (neighbours.IsUndefined() || neighbours.IsNull() || neighbours.IsNumber()) continue;
    if (!neighbours.IsArray()) return Read::Unusual;
    const Napi::Array links = neighbours.As<Napi::Array>();
    if (links.Has(keys.toJSON)) return Read::Unusual;
    module.hasNeighbours = true;
    const std::uint32_t count = links.Length();
    if (count > Topology::kMaxLinks) {
      Napi::RangeError::New(env, "a topology module has " + std::to_string(count) +
                                     " neighbours; at most " + std::to_string(Topology::kMaxLinks) +
                                     " are read")
          .ThrowAsJavaScriptException();
      return Read::Failed;
    }
    module.neighbours.resize(count);
    for (std::uint32_t j = 0; j < count; ++j) {
      const Napi::Value link = links.Get(j);
      if (array.Env().IsExceptionPending()) return Read::Failed;
      if (!isPlainObject(link, objectPrototype, keys)) return Read::Unusual;
      const Napi::Object fields = link.As<Napi::Object>();
      Topology::DocumentLink& out = module.neighbours[j];
      out.wellFormed = true;
      for (auto [key, field] : {std::pair{&keys.channel, &out.channel},
                                std::pair{&keys.id, &out.id}, std::pair{&keys.child, &out.child}}) {
        const Read read = numberMember(fields, *key, out.wellFormed, *field);
        if (read != Read::Done) return read;
      }
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
  // took seconds, and Array.from of a byte view is no quicker. The
  // runtime's JSON.parse builds the same arrays of numbers from text about
  // ten times faster, so the rows are written as JSON and parsed once.
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
