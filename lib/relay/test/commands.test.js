'use strict';

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const { VirtualRelay, FrameParser, encodeFrame } = require('..');

async function client(relay) {
  const socket = net.connect(relay.port, '127.0.0.1');
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  const c = { socket, frames: [], closed: false };
  const parser = new FrameParser((f) => c.frames.push(f));
  socket.on('data', (chunk) => parser.push(chunk));
  socket.on('close', () => (c.closed = true));
  await relay.waitForClient();
  return c;
}

async function until(predicate, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error('condition not met in time');
    await new Promise((r) => setTimeout(r, 5));
  }
}

const states = (c) => c.frames.filter((f) => f.type === 0).map((f) => f.payload.readUInt16LE(0));

test('commands: application change, luminosity and reset as configured', async (t) => {
  const cases = [
    { name: 'a change moves the state after the delay', options: { appDelay: 50 },
      send: [2, 3], check: async (c, r) => {
        await until(() => states(c).includes(2));
        assert.strictEqual(r.commands.application, 3);
      } },
    { name: 'a change to a set state', options: { appDelay: 0, appState: 9 },
      send: [2, 1], check: (c) => until(() => states(c).includes(9)) },
    { name: 'a change that never shows', options: { appDelay: -1 },
      send: [2, 3], check: async (c, r) => {
        await until(() => r.commands.application === 3);
        const seen = states(c).length;
        await until(() => states(c).length > seen + 10);
        assert.ok(states(c).every((s) => s === 1));
      } },
    { name: 'a luminosity is recorded', options: {},
      send: [4, 200], check: (c, r) => until(() => r.commands.luminosity === 200) },
    { name: 'a reset reports state 0, then the state comes back', options: { resetHold: 100 },
      send: [5, 0], check: async (c) => {
        await until(() => states(c).includes(0));
        const at = states(c).indexOf(0);
        await until(() => states(c).slice(at).includes(1));
      } },
    { name: 'a reset that closes', options: { resetMode: 'close' },
      send: [1, 0], check: (c) => until(() => c.closed) },
    { name: 'a reset that is ignored', options: { resetMode: 'ignore' },
      send: [6, 0], check: async (c, r) => {
        await until(() => r.commands.commands.length === 1);
        await new Promise((res) => setTimeout(res, 100));
        assert.ok(!states(c).includes(0));
        assert.deepStrictEqual(r.commands.commands, [{ code: 6, argument: 0 }]);
      } },
  ];
  for (const k of cases) {
    const relay = new VirtualRelay({ period: 10, state: 1, ...k.options });
    await relay.start();
    try {
      const c = await client(relay);
      c.socket.write(encodeFrame(1, k.send));
      await k.check(c, relay);
      c.socket.destroy();
    } finally {
      await relay.stop();
    }
  }
});

test('commands: behaviour is settable later and checked', async () => {
  const relay = new VirtualRelay();
  relay.commands.set({ appDelay: 5, resetMode: 'close' });
  assert.strictEqual(relay.commands.behaviour.appDelay, 5);
  assert.throws(() => relay.commands.set({ resetMode: 'explode' }), RangeError);
  assert.strictEqual(relay.commands.behaviour.resetMode, 'close');
});
