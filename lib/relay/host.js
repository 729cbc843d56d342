'use strict';

// Runs a virtual relay with an installation (the sample one, or a topology
// document), a display mode for decoding pixel frames, sensor readings that
// move while pictures are played, and optionally the live view in a browser.
// Everything listens on 127.0.0.1 only.
const { VirtualRelay } = require('./relay');
const { sampleInstallation } = require('./sample');
const { DISCOVERY_PORT } = require('./discovery');
const { MODELS } = require('../models');

const SENSOR_MS = 200;
const PLAYING_MS = 300; // pixel frames this recent mean a playback runs
// Frames a long-running relay keeps for inspection (see VirtualRelay).
const KEEP_FRAMES = 1000;
// Every module gets as many values as the model with the most sensors has:
// a record carries as many as modules 0 and 1 do, whatever the others are.
const MAX_SENSORS = Math.max(...MODELS.map((m) => m.sensors));

/**
 * Starts a relay. Options: port (0 = a free one), document (topology),
 * mode ('video', 'rgb', 'mask'), period (ms between status frames), state,
 * version, web (serve the live view), webPort, sensors (false: none),
 * discovery (answer the discovery greeting on 127.0.0.1:9860; or an object
 * of the responder's options: port, name, relayType), relay (further options
 * of the VirtualRelay: faults, command and stream behaviour).
 * Resolves with { relay, port, web, setMode(mode), stop() }.
 */
async function startRelay(options = {}) {
  const {
    port = 0,
    document = sampleInstallation(),
    mode = 'video',
    period = 50,
    state = 1,
    version = 0x00020103,
    web = false,
    webPort = 0,
    sensors = true,
    discovery = false,
    relay: relayOptions = {},
  } = options;
  // The constructor installs the document: the topology it reports and the
  // pixels it decodes.
  const relay = new VirtualRelay({ keepFrames: KEEP_FRAMES, ...relayOptions, port, period, state, version, installation: document });
  relay.setPixelMode(mode);
  const bound = await relay.start();

  let lastPixels = 0;
  const onFrame = (frame) => {
    if (frame.type === 0 || frame.type === 5) lastPixels = Date.now();
  };
  relay.on('frame', onFrame);
  let sweep = 0;
  const sensorTimer = setInterval(() => {
    if (!sensors || Date.now() - lastPixels > PLAYING_MS) return;
    // Each sensor reads a slow wave, offset by its module and index.
    sweep++;
    for (const m of document) {
      if (m.id === 0) continue;
      for (let k = 0; k < MAX_SENSORS; k++) relay.setSensor(m.id, k, (1000 + 37 * m.id + 101 * k + 13 * sweep) % 1024);
    }
    relay.sendSensors();
  }, SENSOR_MS);
  sensorTimer.unref();

  let discoveryPort = null;
  let view = null;
  try {
    if (discovery) {
      const given = typeof discovery === 'object' ? discovery : {};
      discoveryPort = await relay.startDiscovery({ host: '127.0.0.1', port: DISCOVERY_PORT, ...given });
    }
    if (web) {
      const { startWebView } = require('../view/web');
      view = await startWebView(relay, { port: webPort });
    }
  } catch (err) {
    // Nothing half started stays behind.
    clearInterval(sensorTimer);
    await relay.stop();
    throw err;
  }

  return {
    relay,
    port: bound,
    web: view,
    discovery: discoveryPort,
    document,
    setMode(next) {
      relay.setPixelMode(next);
      if (view) view.refresh();
    },
    async stop() {
      clearInterval(sensorTimer);
      relay.off('frame', onFrame);
      if (view) await view.close();
      await relay.stop();
    },
  };
}

module.exports = { startRelay };
