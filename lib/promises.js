'use strict';

// Promise forms of the native classes. Each class here derives from its
// native class, so every method without a callback is the native one; the
// methods that report through a callback are replaced by forms that return
// a promise, from the table `waiting` (promises/core.js). The link, the custom
// application channel and the bridge are also event emitters whose events
// can be read with `for await`.
//
// Failures reject with an LcError whose `code` says what went wrong, and
// whose `reason` is what the module logged about it, when it logged:
//   ERR_LC_REFUSED  the native call refused to start (returned false)
//   ERR_LC_FAILED   the operation ran and reported failure
//   ERR_LC_ENDED    the link, bridge or loop ended before it was up
//   ERR_LC_ABORTED  the caller's AbortSignal fired
const { LcError, toNative, waiting, commands, withNative, base } = require('./promises/core');
const { Com, connect, findRelays, RelayFinder } = require('./promises/link');
const { Player, CustomApp, ComBridge } = require('./promises/streams');

const Topology = commands('Topology');
const Changer = commands('Changer');
const Luminosity = commands('Luminosity');
const Reset = commands('Reset');
const Loader = commands('Loader');
const SdSender = commands('SdSender');
const SimLoader = commands('SimLoader');

class LcApp extends withNative(base('LcApp')) {}

module.exports = {
  LcError,
  logs: require('./logs').logs,
  toNative,
  connect,
  findRelays,
  Com,
  Topology,
  Changer,
  Luminosity,
  Reset,
  Loader,
  SdSender,
  SimLoader,
  LcApp,
  RelayFinder,
  Player,
  CustomApp,
  ComBridge,
};
// Required last: the show builds on the classes above.
module.exports.Show = require('./show').Show;
// The table of waiting methods, for the test that keeps the forms in step;
// not enumerable, so the exports' keys stay the API.
Object.defineProperty(module.exports, 'waiting', { value: waiting, enumerable: false });
