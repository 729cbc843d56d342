'use strict';

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const { VirtualRelay, FrameParser, encodeFrame, statusPayload } = require('..');

// A plain client that collects the frames and notices the end of the stream.
async function connect(port) {
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  const client = { socket, frames: [], bytes: 0, ended: false };
  const parser = new FrameParser((f) => client.frames.push(f));
  socket.on('data', (chunk) => {
    client.bytes += chunk.length;
    parser.push(chunk);
  });
  client.closed = new Promise((resolve) => socket.on('close', () => {
    client.ended = true;
    resolve();
  }));
  client.pending = () => parser.pending.length;
  return client;
}

async function until(predicate, timeoutMs = 3000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error('condition not met in time');
    await new Promise((r) => setTimeout(r, 5));
  }
}

test('frame parser accepts any segmentation', () => {
  const frames = [encodeFrame(0, statusPayload({ state: 3 })), encodeFrame(1, [4, 128]),
    encodeFrame(3), encodeFrame(2, Buffer.alloc(3000, 9))];
  const all = Buffer.concat(frames);
  for (const step of [1, 5, all.length]) {
    const got = [];
    const parser = new FrameParser((f) => got.push(f));
    for (let i = 0; i < all.length; i += step) parser.push(all.subarray(i, i + step));
    assert.deepStrictEqual(got.map((f) => [f.type, f.payload.length]),
      [[0, 18], [1, 2], [3, 0], [2, 3000]]);
    assert.strictEqual(got[0].payload.readUInt16LE(0), 3);
  }
});

test('status payload layout and cuts', () => {
  const p = statusPayload({ state: 0x0102, pace: 3, version: 0x0a0b0c0d, packetSize: 1000 });
  assert.deepStrictEqual([...p.subarray(0, 10)], [2, 1, 3, 0, 0x0d, 0x0c, 0x0b, 0x0a, 0xe8, 3]);
  assert.strictEqual(p.readUInt16LE(16), 8);
  assert.strictEqual(statusPayload({}, 4).length, 4);
});

test('periodic status frames carry the settable values', async (t) => {
  const relay = new VirtualRelay({ period: 20, state: 5, version: 77 });
  const port = await relay.start();
  t.after(() => relay.stop());
  const c = await connect(port);
  await until(() => c.frames.length >= 2);
  relay.set({ state: 9, statusLength: 4 });
  await until(() => c.frames.some((f) => f.payload.length === 4));
  const first = c.frames[0];
  assert.strictEqual(first.type, 0);
  assert.strictEqual(first.payload.readUInt16LE(0), 5);
  assert.strictEqual(first.payload.readUInt32LE(4), 77);
  const short = c.frames.find((f) => f.payload.length === 4);
  assert.strictEqual(short.payload.readUInt16LE(0), 9);
  c.socket.destroy();
});

test('sends frames on demand and records what it receives', async (t) => {
  const relay = new VirtualRelay({ period: 0 });
  const port = await relay.start();
  t.after(() => relay.stop());
  const c = await connect(port);
  await relay.waitForClient();
  relay.sendData(Buffer.from([1, 2]));
  relay.sendData(Buffer.from([3]), false);
  relay.sendClose();
  relay.sendEmpty(1);
  relay.sendUnknown(9);
  relay.sendLargest();
  relay.flood(50);
  await until(() => c.frames.length === 56);
  assert.deepStrictEqual(c.frames.slice(0, 6).map((f) => [f.type, f.payload.length]),
    [[1, 2], [2, 1], [3, 0], [1, 0], [9, 3], [2, 65535]]);
  assert.ok(c.frames.slice(6).every((f) => f.type === 0 && f.payload.length === 18));

  // Two frames split across writes still count as two.
  const out = Buffer.concat([encodeFrame(1, [4, 200]), encodeFrame(2)]);
  c.socket.write(out.subarray(0, 3));
  await new Promise((r) => setTimeout(r, 10));
  c.socket.write(out.subarray(3));
  const empty = await relay.waitForFrame((f) => f.type === 2);
  assert.strictEqual(empty.payload.length, 0);
  assert.deepStrictEqual([...relay.received[0].payload], [4, 200]);
  c.socket.destroy();

  // A relay that keeps a tail holds the newest frames, never all of them.
  const kept = new VirtualRelay({ period: 0, keepFrames: 3 });
  const keptPort = await kept.start();
  t.after(() => kept.stop());
  const k = await connect(keptPort);
  k.socket.write(Buffer.concat([...Array(20).keys()].map((i) => encodeFrame(1, [i]))));
  await kept.waitForFrame((f) => f.payload[0] === 19);
  assert.ok(kept.received.length >= 3 && kept.received.length < 6, String(kept.received.length));
  assert.deepStrictEqual(kept.received.slice(-3).map((f) => f.payload[0]), [17, 18, 19]);
  assert.throws(() => new VirtualRelay({ keepFrames: 0 }), RangeError);
  k.socket.destroy();
});

test('faults: cut header, cut payload, stall', async (t) => {
  const relay = new VirtualRelay({ period: 10 });
  const port = await relay.start();
  t.after(() => relay.stop());

  for (const [cut, leftover] of [['closeMidHeader', 2], ['closeMidPayload', 50]]) {
    const c = await connect(port);
    await relay.waitForClient();
    relay.stall();
    await new Promise((r) => setTimeout(r, 30)); // let frames in flight land
    const before = c.bytes;
    relay[cut]();
    await c.closed;
    assert.strictEqual(c.bytes - before, leftover, cut);
    assert.strictEqual(c.pending(), leftover, cut);
    relay.resume();
    await relay.waitForDisconnect();
  }

  const c = await connect(port);
  await until(() => c.frames.length > 0);
  relay.stall();
  await new Promise((r) => setTimeout(r, 30));
  const count = c.frames.length;
  await new Promise((r) => setTimeout(r, 100));
  assert.strictEqual(c.frames.length, count);
  relay.resume();
  await until(() => c.frames.length > count);
  relay.disconnect();
  await c.closed;
});
