'use strict';

const test = require('node:test');
const assert = require('node:assert');
const { VirtualRelay } = require('..');
const { layout } = require('../geometry');
const { ledsOfImage } = require('../pixels');

const link = (channel, id, child) => ({ channel, id, child });
// The relay, then tile 1 on its channel 0, then tile 2 joined from tile 1's
// channel `from` to its own channel `to`.
const pair = (type, from, to) => [
  { id: 0, type: 0, neighbours: [link(0, 1, 1)] },
  { id: 1, type, neighbours: [link(0, 0, 0), link(from, 2, 1)] },
  { id: 2, type, neighbours: [link(to, 1, 0)] },
];

test('geometry places square and triangular tiles by the tables', () => {
  const one = layout([{ id: 0, type: 0, neighbours: [link(0, 1, 1)] },
    { id: 1, type: 4, neighbours: [link(0, 0, 0)] }]);
  assert.deepStrictEqual([one.width, one.height], [10, 10]);
  assert.deepStrictEqual(one.tiles.get(1).leds.slice(0, 3), [[0, 0], [1, 0], [2, 0]]);
  assert.deepStrictEqual(one.tiles.get(1).leds[99], [9, 9]);

  // Turned a quarter: LED i lands where LED R100(i) was.
  const quarter = layout(pair(4, 1, 3), 90).tiles.get(1).leds;
  const flat = layout(pair(4, 1, 3), 0);
  assert.deepStrictEqual([flat.width, flat.height], [20, 10]);
  assert.strictEqual(flat.tiles.get(2).leds[0][0] - flat.tiles.get(1).leds[0][0], 10);
  const upright = layout(pair(4, 1, 3), 90);
  assert.deepStrictEqual([upright.width, upright.height], [10, 20]);
  assert.ok(quarter.every(([x, y]) => Number.isInteger(x) && Number.isInteger(y)));

  // Two deltas joined 5 to 5: the second is mirrored, 10 units above.
  const deltas = layout(pair(3, 5, 5));
  const [a, b] = [deltas.tiles.get(1), deltas.tiles.get(2)];
  assert.strictEqual(a.leds.length, 31);
  // LED 24 sits at (-4, 4) of the first tile and (4, -4) mirrored in the second.
  assert.ok(Math.abs(b.leds[24][1] - a.leds[24][1] - (-10 - 8)) < 1e-4);
  assert.ok(Math.abs(b.leds[24][0] - a.leds[24][0] - 8 * Math.fround(1.7320508)) < 1e-4);
});

test('pixel frames of each mode decode into the LEDs of their tiles', () => {
  const doc = pair(4, 1, 3);
  const placed = layout(doc);
  const image = Buffer.alloc(4 * placed.width * placed.height);
  for (let i = 0; i < image.length; i++) image[i] = (i * 7) % 251 === 0 ? 0 : (i * 7) % 251;
  const relay = new VirtualRelay();
  relay.setInstallation(doc);
  const cases = {
    video: { s: 300, put: (slot, k, [r, g, b]) => { slot[3 * k] = r; slot[3 * k + 1] = g; slot[3 * k + 2] = b; } },
    rgb: { s: 39, put: (slot, k, c) => c.forEach((v, i) => { slot[(3 * k + i) >> 3] |= v << ((3 * k + i) & 7); }) },
    mask: { s: 13, put: (slot, k, [v]) => { slot[k >> 3] |= v << (k & 7); } },
  };
  for (const [mode, { s, put }] of Object.entries(cases)) {
    relay.setPixelMode(mode);
    const expected = ledsOfImage(placed, image, mode);
    // Relay, tile 1 and tile 2 in one frame of three slots.
    const payload = Buffer.alloc(918);
    payload.writeUInt16LE(1, 0);
    for (const id of [1, 2]) {
      const slot = payload.subarray(2 + s * id, 2 + s * (id + 1));
      expected.get(id).forEach((c, k) => put(slot, k, c));
    }
    relay.emit('frame', { type: 5, payload });
    for (const id of [1, 2]) assert.deepStrictEqual(relay.ledsOf(id), expected.get(id), mode);
  }
  assert.strictEqual(relay.pixelStats.frames, 3);
  assert.strictEqual(relay.pixelStats.starts, 3);
  relay.emit('status-sent');
  relay.emit('frame', { type: 0, payload: Buffer.alloc(918) });
  relay.emit('frame', { type: 1, payload: Buffer.alloc(10) }); // not a pixel frame
  relay.emit('status-sent');
  assert.deepStrictEqual(relay.pixelStats.perStatus, [3, 1]);
  assert.throws(() => relay.setPixelMode('Mask'), RangeError);
});

test('sensor sweeps carry every module in order, with faults on demand', () => {
  const relay = new VirtualRelay();
  relay.setInstallation(pair(5, 1, 3));
  const sent = [];
  relay.sendFrame = (type, payload) => sent.push({ type, payload });
  relay.setSensor(1, 0, 11);
  relay.setSensor(2, 3, 0x1234);
  assert.strictEqual(relay.sensorsPerRecord(), 4);
  relay.sendSensors();
  relay.sendSensors({ perFrame: 2, swap: [0, 2] });
  relay.sendShortSensors(3);
  const words = (b) => Array.from({ length: b.length / 2 }, (_, i) => b.readUInt16LE(2 * i));
  assert.deepStrictEqual(sent.map((f) => f.type), [2, 2, 2, 2]);
  assert.deepStrictEqual(words(sent[0].payload),
    [0, 0, 0, 0, 0, 1, 11, 0, 0, 0, 2, 0, 0, 0, 0x1234]);
  assert.deepStrictEqual(words(sent[1].payload), [2, 0, 0, 0, 0x1234, 1, 11, 0, 0, 0]);
  assert.deepStrictEqual(words(sent[2].payload), [0, 0, 0, 0, 0]);
  assert.strictEqual(sent[3].payload.length, 3);
});
