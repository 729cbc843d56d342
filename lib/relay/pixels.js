'use strict';

// The relay's side of the player's pixel frames: decodes each frame of the
// current display mode back into a colour per LED of the installation,
// keeps the latest value of every LED, and counts the frames that arrive
// between two status frames.

const { layout } = require('./geometry');
const { MODELS, isTile, ledCount, model } = require('../models');

const PIXEL_TYPES = new Set([0, 5]);
const START_TYPE = 5;
const MODES = ['video', 'rgb', 'mask'];
// Bytes one tile takes in a frame, by mode and type id.
const SLOT_SIZES = Object.fromEntries(MODES.map((mode) => [mode,
  Object.fromEntries(MODELS.filter((m) => m.tile).map((m) => [m.id, m.slots[mode]]))]));
const PER_STATUS_KEPT = 10000;

// One LED's value from its slot: [r, g, b] in video mode (a "varna" LED has
// one byte, [v]), [r, g, b] bits in rgb mode, [bit] in mask mode.
function decodeLed(mode, type, slot, k) {
  const bit = (b) => (slot[b >> 3] >> (b & 7)) & 1;
  if (mode === 'video') return model(type).ledBytes === 1 ? [slot[k]] : [slot[3 * k], slot[3 * k + 1], slot[3 * k + 2]];
  if (mode === 'rgb') return [bit(3 * k), bit(3 * k + 1), bit(3 * k + 2)];
  return [bit(k)];
}

// What each LED of `placed` (a layout) should show for an image of 4-byte
// pixels, `width` per row, in `mode`; LEDs off the screen or past the image
// stay undefined (their value is whatever came before).
function ledsOfImage(placed, image, mode, format = 'RGB') {
  const out = new Map();
  for (const [id, tile] of placed.tiles) {
    out.set(id, tile.leds.map(([x, y]) => {
      if (!(x >= 0 && x < placed.width && y >= 0 && y < placed.height)) return undefined;
      const p = 4 * (Math.trunc(x) + Math.trunc(y) * placed.width);
      if (p + 2 >= image.length) return undefined;
      const [r, g, b] = format === 'BGR' ? [image[p + 2], image[p + 1], image[p]]
        : [image[p], image[p + 1], image[p + 2]];
      if (mode === 'video') return model(tile.type).ledBytes === 1 ? [Math.max(r, g, b)] : [r, g, b];
      if (mode === 'rgb') return [+(r !== 0), +(g !== 0), +(b !== 0)];
      return [+((r | g | b) !== 0)];
    }));
  }
  return out;
}

const methods = {
  // The installation as a topology document, seen at `angle` degrees.
  setInstallation(doc, angle = 0) {
    this.installation = { doc, placed: layout(doc, angle) };
    this._resetLeds();
  },

  setPixelMode(mode) {
    if (!MODES.includes(mode)) throw new RangeError(`mode must be one of ${MODES.join(', ')}`);
    this.pixelMode = mode;
    this._resetLeds();
  },

  // The latest value of every LED of tile `id` (see decodeLed), or undefined.
  ledsOf(id) {
    return this.leds.get(id);
  },

  _resetLeds() {
    this.leds = new Map();
    if (!this.installation) return;
    for (const [id, tile] of this.installation.placed.tiles) {
      this.leds.set(id, Array.from({ length: ledCount(tile.type) }, () => undefined));
    }
  },

  _onPixelFrame(frame) {
    if (!PIXEL_TYPES.has(frame.type)) return;
    const stats = this.pixelStats;
    stats.frames++;
    stats.sinceStatus++;
    if (frame.type === START_TYPE) stats.starts++;
    const payload = frame.payload;
    if (payload.length >= 2) stats.numbers.push(payload.readUInt16LE(0));
    if (stats.numbers.length > PER_STATUS_KEPT) stats.numbers.shift();
    if (!this.installation || payload.length < 2) return;
    const mode = this.pixelMode;
    const { tiles } = this.installation.placed;
    let s = 0;
    for (const tile of tiles.values()) s = Math.max(s, SLOT_SIZES[mode][tile.type] || 0);
    s = s || 1;
    const m = Math.floor((payload.length - 2) / s);
    const number = payload.readUInt16LE(0);
    for (let l = 0; l < m; l++) {
      const id = l + m * (number - 1);
      const tile = tiles.get(id);
      if (!tile || !isTile(tile.type)) continue;
      const slot = payload.subarray(2 + s * l, 2 + s * (l + 1));
      const leds = this.leds.get(id);
      for (let k = 0; k < leds.length; k++) leds[k] = decodeLed(mode, tile.type, slot, k);
    }
  },

  _onStatusSent() {
    const stats = this.pixelStats;
    stats.perStatus.push(stats.sinceStatus);
    if (stats.perStatus.length > PER_STATUS_KEPT) stats.perStatus.shift();
    stats.sinceStatus = 0;
  },
};

// Gives a relay the pixel side: state, methods and the frame hooks.
function attachPixels(relay) {
  relay.installation = null;
  relay.pixelMode = 'video';
  relay.leds = new Map();
  // frames: pixel frames received; starts: of them with the start type;
  // perStatus: pixel frames between consecutive status frames sent;
  // numbers: frame numbers in order of arrival (the latest ones).
  relay.pixelStats = { frames: 0, starts: 0, sinceStatus: 0, perStatus: [], numbers: [] };
  relay.on('frame', (frame) => relay._onPixelFrame(frame));
  relay.on('status-sent', () => relay._onStatusSent());
}

module.exports = { attachPixels, pixelMethods: methods, ledsOfImage, decodeLed, SLOT_SIZES, MODES };
