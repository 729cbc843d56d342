'use strict';

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');
const { delay, eventually } = require('./support/codes');
const { linked: linkedRelay } = require('./support/link');

// A relay that sends status frames only when told, and a link to it that is up.
const linked = (t, options) => linkedRelay(t, { period: 0, state: 0, ...options });

// Keeps what a CustomApp callback gets.
function appRecorder() {
  const calls = [];
  return {
    calls,
    callback: (...args) => calls.push(args),
    concasts: () => calls.filter((c) => c[1] === 'concast').map((c) => c[2]),
    stopped: () => eventually(() => calls.some((c) => c[1] === 'stop')),
  };
}

const bytes = (n, seed = 0) => Buffer.from(Array.from({ length: n }, (_, i) => (i * 7 + seed) & 0xff));

test('messages: dropped before start, cut to size, one of each kind per status', async (t) => {
  const { relay, com } = await linked(t);
  const app = new lc.CustomApp(com);
  const r = appRecorder();
  app.sendBroadcast(Buffer.from('early'));
  app.sendData(new Uint8Array([1, 2]));
  assert.strictEqual(app.start(r.callback), true);
  // Queued right after start returned: sent, not dropped.
  app.sendBroadcast(bytes(3000, 1));
  app.sendBroadcast(new Uint8Array([9, 8, 7]));
  app.sendData(bytes(1500, 2));
  relay.sendStatus();
  await eventually(() => relay.customApp.data.length === 1);
  assert.strictEqual(relay.customApp.starts, 1);
  assert.deepStrictEqual(relay.customApp.broadcasts, [bytes(3000, 1).subarray(0, 2048)]);
  assert.deepStrictEqual(relay.customApp.data, [bytes(1500, 2).subarray(0, 1024)]);
  relay.sendStatus();
  await eventually(() => relay.customApp.broadcasts.length === 2);
  assert.deepStrictEqual([...relay.customApp.broadcasts[1]], [9, 8, 7]);
  relay.sendStatus();
  await delay(50);
  assert.strictEqual(relay.customApp.starts, 1);
  assert.strictEqual(relay.customApp.broadcasts.length, 2);
  assert.strictEqual(relay.customApp.data.length, 1);
  app.stop();
  await r.stopped();
  assert.deepStrictEqual(r.calls, [[undefined, 'stop']]);
});

// Messages each queue holds.
const LIMIT = 4096;

test('each queue holds 4096 messages at most, and takes none while no run is active', async (t) => {
  const { relay, com } = await linked(t);
  const app = new lc.CustomApp(com);
  const r = appRecorder();
  const kinds = [['sendBroadcast', 'broadcasts'], ['sendData', 'data']];
  for (const [send] of kinds) assert.strictEqual(app[send](bytes(4)), false, `${send} before start`);
  assert.strictEqual(app.start(r.callback), true);
  for (const [send] of kinds) {
    const taken = Array.from({ length: LIMIT + 2 }, (_, i) => app[send](bytes(8, i)));
    assert.deepStrictEqual(taken, [...Array(LIMIT).fill(true), false, false], send);
  }
  // One of each leaves with a status frame, oldest first, and makes room for one.
  relay.sendStatus();
  await eventually(() => relay.customApp.broadcasts.length === 1 && relay.customApp.data.length === 1);
  for (const [send, seen] of kinds) {
    assert.deepStrictEqual(relay.customApp[seen], [bytes(8, 0)], seen);
    assert.strictEqual(app[send](bytes(8, LIMIT)), true, send);
    assert.strictEqual(app[send](bytes(8, LIMIT + 1)), false, send);
  }
  app.stop();
  await r.stopped();
  for (const [send] of kinds) assert.strictEqual(app[send](bytes(4)), false, `${send} after the run`);
});

test('data frames arrive as concast Buffers of at most 256 bytes', async (t) => {
  const { relay, com } = await linked(t, { echo: 1 });
  const app = new lc.CustomApp(com);
  const r = appRecorder();
  assert.strictEqual(app.start(r.callback), true);
  relay.customApp.send(bytes(300, 3));
  relay.customApp.send(bytes(10, 4), false);
  app.sendData(Buffer.from('ping'));
  relay.sendStatus(); // carries the data message out; the relay echoes it
  await eventually(() => r.concasts().length === 3);
  const got = r.concasts();
  assert.ok(got.every((b) => Buffer.isBuffer(b)));
  assert.deepStrictEqual(got, [bytes(300, 3).subarray(0, 256), bytes(10, 4), Buffer.from('ping')]);
  app.stop();
  await r.stopped();
  assert.strictEqual(r.calls.at(-1)[1], 'stop');
  assert.strictEqual(r.calls.length, 4);
});

test('a burst of data frames arrives whole and in order; a stop from a callback ends its batch', async (t) => {
  const { encodeFrame, FrameType } = require('../lib/relay/frames');
  const { relay, com } = await linked(t);
  const app = new lc.CustomApp(com);
  const r = appRecorder();
  assert.strictEqual(app.start(r.callback), true);
  // Lengths 0 to 299 in one piece: many records to a batch, some cut to 256.
  const sent = Array.from({ length: 300 }, (_, i) => bytes(i, i));
  relay.sendRaw(Buffer.concat(sent.map((b, i) =>
    encodeFrame(i % 2 ? FrameType.DATA_ONE : FrameType.DATA_TWO, b))));
  await eventually(() => r.concasts().length === sent.length);
  assert.deepStrictEqual(r.concasts(), sent.map((b) => b.subarray(0, 256)));
  assert.ok(r.concasts().every((b) => Buffer.isBuffer(b)));
  assert.deepStrictEqual(app.getCounters(), { concasts: 300, concastsDropped: 0 });

  app.stop();
  await r.stopped();

  // A backlog larger than one call hands over goes over several turns of
  // the event loop, whole and in order: an immediate set at its first record
  // runs before its last.
  const backlog = Array.from({ length: 10000 }, (_, i) => bytes(i % 17, i));
  const got = [];
  let atImmediate = null;
  const over = new Promise((resolve) => assert.strictEqual(app.start((_, what, b) => {
    if (what !== 'concast') return resolve();
    got.push(Buffer.from(b));
    if (got.length === 1) setImmediate(() => { atImmediate = got.length; });
  }), true));
  relay.sendRaw(Buffer.concat(backlog.map((b) => encodeFrame(FrameType.DATA_ONE, b))));
  const queuedUntil = Date.now() + 300;
  while (Date.now() < queuedUntil);
  await eventually(() => got.length === backlog.length);
  assert.deepStrictEqual(got, backlog);
  assert.ok(atImmediate !== null && atImmediate < backlog.length, `immediate after ${atImmediate}`);
  app.stop();
  await over;

  const stopping = appRecorder();
  assert.strictEqual(app.start((...args) => {
    stopping.callback(...args);
    if (args[1] === 'concast') app.stop();
  }), true);
  relay.sendRaw(Buffer.concat(sent.slice(0, 50).map((b) => encodeFrame(FrameType.DATA_ONE, b))));
  await stopping.stopped();
  assert.deepStrictEqual(stopping.calls.map((c) => c[1]), ['concast', 'stop']);
  assert.strictEqual(app.getCounters().concasts, 1);

  // A burst, then the end of the link while the script is busy, so that the
  // run is over before the script takes the records: every one still comes,
  // in order, before "stop".
  const tail = appRecorder();
  assert.strictEqual(app.start(tail.callback), true);
  relay.sendRaw(Buffer.concat(sent.map((b) => encodeFrame(FrameType.DATA_TWO, b))));
  await eventually(() => [...relay.sockets].every((s) => s.writableLength === 0));
  relay.disconnect();
  const busyUntil = Date.now() + 200;
  while (Date.now() < busyUntil);
  await tail.stopped();
  assert.deepStrictEqual(tail.concasts(), sent.map((b) => b.subarray(0, 256)));
  assert.strictEqual(tail.calls.at(-1)[1], 'stop');
  assert.strictEqual(tail.calls.length, sent.length + 1);
});

test('start twice, stop at once, stop while idle, start again after stop', async (t) => {
  const { relay, com } = await linked(t);
  const app = new lc.CustomApp(com);
  app.stop(); // idle: nothing happens
  const first = appRecorder();
  assert.strictEqual(app.start(first.callback), true);
  assert.strictEqual(app.start(() => assert.fail('second run')), false);
  app.stop(); // right after start: ends this run before any frame goes out
  await first.stopped();
  assert.deepStrictEqual(first.calls, [[undefined, 'stop']]);
  relay.sendStatus();
  await delay(50);
  assert.strictEqual(relay.customApp.starts, 0);

  const second = appRecorder();
  assert.strictEqual(app.start(second.callback), true);
  relay.sendStatus();
  await eventually(() => relay.customApp.starts === 1);
  app.stop();
  await second.stopped();
});

test('two seconds without a frame from the relay end the run', async (t) => {
  const { com } = await linked(t);
  const app = new lc.CustomApp(com);
  const r = appRecorder();
  const began = Date.now();
  app.start(r.callback);
  await eventually(() => r.calls.length > 0, 4000);
  const took = Date.now() - began;
  assert.deepStrictEqual(r.calls, [[undefined, 'stop']]);
  assert.ok(took >= 1900 && took < 3500, `ended after ${took} ms`);
});

test('wrong arguments throw', async (t) => {
  const { com } = await linked(t);
  for (const arg of [undefined, {}, new lc.Topology(), new lc.Log('x')]) {
    assert.throws(() => new lc.CustomApp(arg), TypeError);
  }
  assert.throws(() => lc.CustomApp(com), TypeError);
  const app = new lc.CustomApp(com);
  for (const bad of [undefined, 'text', [1, 2], new Uint16Array(2), new ArrayBuffer(4)]) {
    assert.throws(() => app.sendBroadcast(bad), TypeError);
    assert.throws(() => app.sendData(bad), TypeError);
  }
  assert.throws(() => app.start('not a function'), TypeError);
  assert.throws(() => app.start(), TypeError);
});
