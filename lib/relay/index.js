'use strict';

// The virtual relay's public surface: everything the CLI, the views, the
// benches and the tests use from this folder comes through here, so its
// files can be rearranged without reaching into the callers.

const { VirtualRelay, DEFAULTS } = require('./relay');
const { startRelay } = require('./host');
const { startRelays, startShowRelays } = require('./many');
const { sampleInstallation, samplePackage, sampleImage, hexRecord } = require('./sample');
const { layout } = require('./geometry');
const { attachPixels, pixelMethods, ledsOfImage } = require('./pixels');

module.exports = {
  VirtualRelay,
  DEFAULTS,
  startRelay,
  startRelays,
  startShowRelays,
  sampleInstallation,
  samplePackage,
  sampleImage,
  hexRecord,
  layout,
  attachPixels,
  pixelMethods,
  ledsOfImage,
  ...require('./frames'),
  ...require('./discovery'),
  ...require('./installation'),
};
