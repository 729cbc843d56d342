// Module entry: registers the module record when the file is loaded and
// defines the script classes in their fixed order.

#include <napi.h>

#include "script/ChangerAddon.h"
#include "script/ComAddon.h"
#include "script/ComBridgeAddon.h"
#include "script/CustomAppAddon.h"
#include "script/LcAppAddon.h"
#include "script/LoaderAddon.h"
#include "script/LogAddon.h"
#include "script/LuminosityAddon.h"
#include "script/PlayerAddon.h"
#include "script/RelayFinderAddon.h"
#include "script/ResetAddon.h"
#include "script/SdSenderAddon.h"
#include "script/SimLoaderAddon.h"
#include "script/TopAddon.h"

namespace lc {

Napi::Object initAll(Napi::Env env, Napi::Object exports) {
  // The order of definition is the order of the exports' keys.
  LcAppAddon::Init(env, exports);
  LoaderAddon::Init(env, exports);
  ChangerAddon::Init(env, exports);
  LuminosityAddon::Init(env, exports);
  PlayerAddon::Init(env, exports);
  LogAddon::Init(env, exports);
  RelayFinderAddon::Init(env, exports);
  SimLoaderAddon::Init(env, exports);
  CustomAppAddon::Init(env, exports);
  ResetAddon::Init(env, exports);
  SdSenderAddon::Init(env, exports);
  TopAddon::Init(env, exports);
  ComAddon::Init(env, exports);
  ComBridgeAddon::Init(env, exports);
  return exports;
}

}  // namespace lc

namespace {

napi_value registerModule(napi_env env, napi_value exports) {
  return Napi::RegisterModule(env, exports, lc::initAll);
}

napi_module moduleRecord = {
    1,                       // nm_version
    0,                       // nm_flags
    "addon/src/addon",       // nm_filename
    registerModule,          // nm_register_func
    "NODE_GYP_MODULE_NAME",  // nm_modname
    nullptr,                 // nm_priv
    {nullptr, nullptr, nullptr, nullptr},
};

// Runs when the runtime loads the shared object.
struct Registrar {
  Registrar() { napi_module_register(&moduleRecord); }
} registrar;

}  // namespace
