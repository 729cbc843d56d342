'use strict';

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const { spawn } = require('child_process');
const lc = require('..');
const { root } = require('./support/child');
const { VirtualRelay, FrameParser, encodeFrame, statusPayload } = require('../lib/relay');
const { delay, eventually } = require('./support/codes');
const { linked: linkedRelay } = require('./support/link');

// A relay whose state word stays 0, and a link to it that is up.
const linked = (t, options) => linkedRelay(t, { state: 0, ...options });

// The bridge's callback arguments, waited for with deadlines.
function bridgeRecorder() {
  const calls = [];
  return {
    calls,
    callback: (...args) => calls.push(args),
    bound: () => eventually(() => calls.length > 0).then(() => calls[0][2]),
    ended: () => eventually(() => calls.some((c) => c[1] === 1)),
  };
}

async function client(port) {
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  const c = { socket, bytes: [], frames: [], closed: false };
  const parser = new FrameParser((f) => c.frames.push(f));
  socket.on('data', (chunk) => {
    c.bytes.push(chunk);
    parser.push(chunk);
  });
  socket.on('error', () => {});
  socket.on('close', () => {
    c.closed = true;
  });
  return c;
}

async function portIsFree(port) {
  const server = net.createServer();
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  await new Promise((resolve) => server.close(resolve));
}

test('a client talks to the relay through the bridge; a second one after it left', async (t) => {
  const { relay, com } = await linked(t);
  const bridge = new lc.ComBridge(com);
  t.after(() => bridge.stop()); // a running bridge keeps the process alive
  const r = bridgeRecorder();
  assert.strictEqual(bridge.getPort(), 0);
  assert.strictEqual(bridge.start(r.callback, { port: 0 }), true);
  const port = await r.bound();
  assert.ok(port > 0);
  assert.deepStrictEqual(r.calls, [[undefined, 0, port]]);
  assert.strictEqual(bridge.getPort(), port);

  for (const round of [1, 2]) {
    const c = await client(port);
    // Frames the relay sends once the client is taken reach it unchanged.
    const marker = encodeFrame(9, [round]);
    await eventually(() => {
      relay.sendRaw(marker);
      return c.frames.some((f) => f.type === 9);
    });
    const sent = Buffer.concat([encodeFrame(0, statusPayload({ state: 4 })),
      encodeFrame(2, Buffer.alloc(3000, round)), encodeFrame(7, [1, 2, 3]), encodeFrame(1)]);
    const before = Buffer.concat(c.bytes).length;
    relay.sendRaw(sent);
    await eventually(() => Buffer.concat(c.bytes).length >= before + sent.length);
    const got = Buffer.concat(c.bytes).subarray(before);
    // Status frames of the relay's own pace and late markers may come in
    // between, whole.
    const frames = [];
    new FrameParser((f) => frames.push(f)).push(got);
    const ours = frames.filter((f) => f.type !== 9 && (f.type !== 0 || f.payload.readUInt16LE(0) === 4));
    assert.deepStrictEqual(Buffer.concat(ours.map((f) => encodeFrame(f.type, f.payload))), sent);

    // What the client sends reaches the relay, in pieces or not.
    const out = encodeFrame(1, [4, 0x40 + round]);
    c.socket.write(out.subarray(0, 3));
    await delay(10);
    c.socket.write(Buffer.concat([out.subarray(3), encodeFrame(5, Buffer.alloc(900, round))]));
    const got1 = await relay.waitForFrame((f) => f.type === 1 && f.payload[1] === 0x40 + round);
    assert.deepStrictEqual([...got1.payload], [4, 0x40 + round]);
    await relay.waitForFrame((f) => f.type === 5 && f.payload.length === 900 && f.payload[0] === round);
    c.socket.destroy();
  }
  assert.strictEqual(r.calls.length, 1); // the port was reported once

  const began = Date.now(); // the worker waits in accept
  assert.strictEqual(bridge.stop(), true);
  assert.strictEqual(bridge.getPort(), 0);
  await r.ended();
  assert.ok(Date.now() - began < 500);
  assert.deepStrictEqual(r.calls, [[undefined, 0, port], [undefined, 1]]);
  await portIsFree(port);
});

test('start twice and stop twice; stop right after start ends that run', async (t) => {
  const { com } = await linked(t);
  const bridge = new lc.ComBridge(com);
  t.after(() => bridge.stop()); // a running bridge keeps the process alive
  const r = bridgeRecorder();
  assert.strictEqual(bridge.stop(), false);
  assert.strictEqual(bridge.start(r.callback, { port: 0 }), true);
  assert.strictEqual(bridge.start(() => assert.fail('second run'), { port: 0 }), false);
  const port = await r.bound();
  const c = await client(port); // a worker blocked receiving from a client
  await delay(20);
  const began = Date.now();
  assert.strictEqual(bridge.stop(), true);
  assert.strictEqual(bridge.stop(), false);
  await r.ended();
  assert.ok(Date.now() - began < 500);
  await eventually(() => c.closed);
  await portIsFree(port);

  const quick = bridgeRecorder();
  assert.strictEqual(bridge.start(quick.callback, { port }), true);
  assert.strictEqual(bridge.stop(), true);
  await quick.ended();
  // The worker may have bound the port before the stop came: then the port
  // is reported once before the end. Either way the run ends, once, last.
  const [last, ...before] = quick.calls.slice().reverse();
  assert.deepStrictEqual(last, [undefined, 1]);
  assert.ok(before.length === 0 || (before.length === 1 && before[0][1] === 0 &&
    before[0][2] === port), JSON.stringify(quick.calls));
  assert.strictEqual(bridge.getPort(), 0);
});

test('a port that cannot be bound gives code 1 alone', async (t) => {
  const { com } = await linked(t);
  const taken = net.createServer();
  await new Promise((resolve) => taken.listen(0, '127.0.0.1', resolve));
  t.after(() => new Promise((resolve) => taken.close(resolve)));
  const bridge = new lc.ComBridge(com);
  t.after(() => bridge.stop()); // a running bridge keeps the process alive
  // A busy port, and an address of no interface here (binding sends nothing).
  for (const options of [{ port: taken.address().port }, { host: '192.0.2.1', port: 0 }]) {
    const r = bridgeRecorder();
    assert.strictEqual(bridge.start(r.callback, options), true);
    await r.ended();
    // Code 1 alone, and why as the last argument.
    assert.strictEqual(r.calls.length, 1);
    assert.deepStrictEqual(r.calls[0].slice(0, 2), [undefined, 1]);
    assert.match(r.calls[0][2], /^cannot listen on .*:\d+: /);
    assert.strictEqual(bridge.getPort(), 0);
    assert.strictEqual(bridge.stop(), false);
  }
});

test('a client that never reads does not hold up the link', async (t) => {
  const { relay, com } = await linked(t, { version: 1 });
  const bridge = new lc.ComBridge(com);
  t.after(() => bridge.stop()); // a running bridge keeps the process alive
  const r = bridgeRecorder();
  bridge.start(r.callback, { port: 0 });
  const port = await r.bound();
  const stalled = await client(port);
  stalled.socket.pause();
  await delay(50);
  // Far more than the socket buffers between the bridge and the client hold.
  const big = encodeFrame(2, Buffer.alloc(65535, 1));
  for (let i = 0; i < 200; i++) relay.sendRaw(big);
  relay.set({ version: 2 });
  const began = Date.now();
  await eventually(() => com.getVersion() === 2, 5000);
  assert.ok(Date.now() - began < 3000, `the link took ${Date.now() - began} ms`);
  assert.strictEqual(com.ready(), true);
  stalled.socket.resume();
  await eventually(() => stalled.closed);
  // The next client is served.
  const next = await client(port);
  await eventually(() => next.frames.some((f) => f.type === 0));
  bridge.stop();
  await r.ended();
});

test('wrong arguments throw', async (t) => {
  const { com } = await linked(t);
  for (const arg of [undefined, {}, new lc.Topology()]) {
    assert.throws(() => new lc.ComBridge(arg), TypeError);
  }
  const bridge = new lc.ComBridge(com);
  const cb = () => assert.fail('no run');
  for (const [args, error] of [
    [[], TypeError],
    [['x'], TypeError],
    [[cb, 5], TypeError],
    [[cb, { host: 1 }], TypeError],
    [[cb, { host: 'localhost' }], TypeError],
    [[cb, { host: '127.0.0.1\u00001' }], TypeError],
    [[cb, { port: '1' }], TypeError],
    [[cb, { port: -1 }], RangeError],
    [[cb, { port: 65536 }], RangeError],
    [[cb, { port: 1.5 }], TypeError],
    [[cb, { port: NaN }], TypeError],
    [[cb, { port: Infinity }], TypeError],
    [[cb, { port: 2 ** 32 + 80 }], RangeError],
  ]) {
    assert.throws(() => bridge.start(...args), error, JSON.stringify(args));
  }
  assert.strictEqual(bridge.getPort(), 0);
  assert.strictEqual(bridge.stop(), false);
});

// A child process whose worker thread runs a bridge and a custom application
// on a live link, then goes away: the process must end cleanly and at once.
test('worker threads that go away with a running bridge and custom application', async (t) => {
  const relay = new VirtualRelay({ period: 10 });
  await relay.start();
  t.after(() => relay.stop());
  const inWorker = `
    const lc = require(${JSON.stringify(root)});
    const { parentPort } = require('worker_threads');
    const com = new lc.Com();
    com.start({ type: 'TCPIP', ip: '127.0.0.1', port: ${relay.port} }, (u, code) => {
      if (code !== 0) return;
      new lc.CustomApp(com).start(() => {});
      new lc.ComBridge(com).start((u, c, port) => { if (c === 0) parentPort.postMessage(port); },
        { port: 0 });
    });`;
  for (const [name, main, expected] of [
    ['terminated', `worker.on('message', async () => { await worker.terminate(); process.exitCode = 3; });`, 3],
    ['process.exit of the main thread', `worker.on('message', () => process.exit(4));`, 4],
  ]) {
    const source = `const { Worker } = require('worker_threads');
      const worker = new Worker(${JSON.stringify(inWorker)}, { eval: true });
      ${main}`;
    const started = Date.now();
    const child = spawn(process.execPath, ['-e', source], { stdio: ['ignore', 'ignore', 'pipe'] });
    let stderr = '';
    child.stderr.on('data', (d) => (stderr += d));
    const killer = setTimeout(() => child.kill('SIGKILL'), 15000);
    const [code, signal] = await new Promise((resolve) => child.on('exit', (c, s) => resolve([c, s])));
    clearTimeout(killer);
    assert.strictEqual(signal, null, `${name}: ${stderr}`);
    assert.strictEqual(code, expected, `${name}: ${stderr}`);
    assert.ok(Date.now() - started < 8000, `${name}: took ${Date.now() - started} ms`);
  }
});
