'use strict';

// The tile and relay models the JavaScript side knows, one row each, by the
// module's type id. Everything in lib/ that needs a fact of a model (its tag,
// LEDs, sensors, slot sizes, where its LEDs lie) reads it here; a test holds
// the rows against the native module's own table.

const f = Math.fround;

// LED k of the 10 x 10 square at (2 (k % 10) - 9, 2 (k / 10) - 9); a quarter
// turn sends LED k to R100[k].
const R100 = Array.from({ length: 100 }, (_, i) => 10 * (9 - (i % 10)) + Math.floor(i / 10));
const G100X = Array.from({ length: 100 }, (_, i) => 2 * (i % 10) - 9);
const G100Y = Array.from({ length: 100 }, (_, i) => 2 * Math.floor(i / 10) - 9);

// Relays have one channel and no shape; square tiles share theirs.
const RELAY = { tile: false, channels: 1, orientations: 1, rotations: 1, offset: 0 };
const SQUARE = {
  tile: true, channels: 4, orientations: 1, rotations: 4, offset: -2, ledBytes: 3,
  scaleX: 0.5, scaleY: 0.5, bounds: [-9, 9, -9, 9], turnChannel: [3, 0, 1, 2],
  channelsX: [0, 20, 0, -20], channelsY: [-20, 0, 20, 0], signs: [1],
  ledsX: G100X, ledsY: G100Y, turnLed: R100,
};

// `slots`: bytes one tile takes in a pixel frame, by display mode.
// `ledBytes`: bytes of one LED in video mode ("varna" LEDs are one colour).
// "varna" has a sixth sensor without a table entry: it sits at the tile's
// centre and does not turn.
const MODELS = Object.freeze([
  { id: 0, tag: 'relay', ...RELAY },
  { id: 1, tag: 'oldrelay', ...RELAY },
  { id: 2, tag: 'relayrpi', ...RELAY },
  {
    id: 3, tag: 'delta', tile: true, channels: 6, orientations: 2, rotations: 3, offset: 0, ledBytes: 3,
    slots: { video: 93, rgb: 12, mask: 4 },
    scaleX: f(1.7320508), scaleY: 1, bounds: [-10, 10, -5, 5],
    turnChannel: [2, 3, 4, 5, 0, 1], channelsX: [-10, -5, 0, 5, 10, 0],
    channelsY: [-10, 5, 20, 5, -10, -10], signs: [1, -1],
    ledsX: [-4, -3, -1, 0, 2, 3, 5, 6, 8, -4, -3, -1, 0, 2, 3, 5, -4, -3, -1, 0, 2, -4, -3, -1, -4,
      -2, 1, 4, -2, 1, -2],
    ledsY: [-4, -3, -3, -2, -2, -1, -1, 0, 0, -2, -1, -1, 0, 0, 1, 1, 0, 1, 1, 2, 2, 2, 3, 3, 4, -2,
      -1, 0, 0, 1, 2],
    turnLed: [8, 7, 15, 14, 20, 19, 23, 22, 24, 6, 5, 13, 12, 18, 17, 21, 4, 3, 11, 10, 16, 2, 1, 9,
      0, 27, 29, 30, 26, 28, 25],
    sensorsX: [-3, 0, 3, 0], sensorsY: [-3, 6, -3, 0], turnSensor: [1, 2, 0, 3],
  },
  { id: 4, tag: 'quadra', ...SQUARE, slots: { video: 300, rgb: 39, mask: 13 },
    sensorsX: [], sensorsY: [], turnSensor: [] },
  { id: 5, tag: 'quadrav2', ...SQUARE, slots: { video: 300, rgb: 39, mask: 13 },
    sensorsX: [-5, 5, -5, 5], sensorsY: [-5, -5, 5, 5], turnSensor: [2, 0, 3, 1] },
  {
    id: 6, tag: 'varna', ...SQUARE, ledBytes: 1, slots: { video: 4, rgb: 3, mask: 1 },
    bounds: [-1, 1, -1, 1], channelsX: [0, 2, 0, -2], channelsY: [-2, 0, 2, 0],
    ledsX: [-1, 1, -1, 1], ledsY: [-1, -1, 1, 1], turnLed: [3, 0, 1, 2],
    sensorsX: [-1, 1, -1, 1, 0, 0], sensorsY: [-1, -1, 1, 1, 0, 0], turnSensor: [3, 0, 1, 2, 4, 5],
  },
].map((m) => Object.freeze({ ...m, leds: m.tile ? m.ledsX.length : 0, sensors: m.tile ? m.sensorsX.length : 0 })));

const TAGS = MODELS.map((m) => m.tag);
const RELAY_TAGS = MODELS.filter((m) => !m.tile).map((m) => m.tag);
const TILE_TAGS = MODELS.filter((m) => m.tile).map((m) => m.tag);
// The type id the module gives a tag it does not know.
const UNKNOWN_TYPE = 255;

/** The row of a type id, or undefined. */
const model = (type) => MODELS[type];
/** The type id of a tag (a number passes through), UNKNOWN_TYPE when unknown. */
function typeOf(tag) {
  if (typeof tag === 'number') return tag;
  const i = TAGS.indexOf(tag);
  return i < 0 ? UNKNOWN_TYPE : i;
}
const isTile = (type) => Boolean(MODELS[type] && MODELS[type].tile);
const ledCount = (type) => (MODELS[type] ? MODELS[type].leds : 0);
const sensorCount = (type) => (MODELS[type] ? MODELS[type].sensors : 0);
const channelCount = (type) => (MODELS[type] ? MODELS[type].channels : 0);

module.exports = {
  MODELS, TAGS, RELAY_TAGS, TILE_TAGS, UNKNOWN_TYPE, model, typeOf, isTile, ledCount, sensorCount, channelCount,
};
