'use strict';

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const { VirtualRelay, FrameParser, encodeFrame } = require('..');

async function session(t, options) {
  const relay = new VirtualRelay({ period: 0, ...options });
  const port = await relay.start();
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  const frames = [];
  const parser = new FrameParser((f) => frames.push(f));
  socket.on('data', (chunk) => parser.push(chunk));
  t.after(async () => {
    socket.destroy();
    await relay.stop();
  });
  return { relay, socket, frames };
}

async function until(predicate, timeoutMs = 3000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error('condition not met in time');
    await new Promise((r) => setTimeout(r, 5));
  }
}

test('records broadcasts and data only after a start frame', async (t) => {
  const { relay, socket } = await session(t);
  socket.write(encodeFrame(0, [1]));
  socket.write(encodeFrame(3, [2]));
  socket.write(encodeFrame(2));
  socket.write(encodeFrame(0, [3, 4]));
  socket.write(encodeFrame(3, Buffer.alloc(1024, 5)));
  socket.write(encodeFrame(2, [9])); // not empty: no start
  await relay.waitForFrame((f) => f.type === 2 && f.payload.length === 1);
  const app = relay.customApp;
  assert.strictEqual(app.starts, 1);
  assert.deepStrictEqual(app.broadcasts.map((b) => [...b]), [[3, 4]]);
  assert.deepStrictEqual(app.data.map((d) => d.length), [1024]);
});

test('echoes data messages on demand, as data frames of type 1', async (t) => {
  const { relay, socket, frames } = await session(t, { echo: 1 });
  socket.write(encodeFrame(2));
  socket.write(encodeFrame(3, [7, 8, 9]));
  await until(() => frames.length === 1);
  assert.deepStrictEqual([frames[0].type, ...frames[0].payload], [1, 7, 8, 9]);
  relay.customApp.setEcho(false);
  socket.write(encodeFrame(3, [1]));
  await until(() => relay.customApp.data.length === 2);
  relay.customApp.send(Buffer.from([5]), false);
  await until(() => frames.length === 2);
  assert.deepStrictEqual([frames[1].type, ...frames[1].payload], [2, 5]);
});

test('keeps the latest messages only', async (t) => {
  const { relay, socket } = await session(t);
  const { RECORDS } = require('../customapp');
  socket.write(encodeFrame(2));
  const frames = [];
  for (let i = 0; i < RECORDS + 5; i++) frames.push(encodeFrame(0, [i & 0xff, i >> 8]));
  socket.write(Buffer.concat(frames));
  await until(() => relay.received.length === RECORDS + 6);
  assert.strictEqual(relay.customApp.broadcasts.length, RECORDS);
  assert.deepStrictEqual([...relay.customApp.broadcasts[0]], [5, 0]);
});
