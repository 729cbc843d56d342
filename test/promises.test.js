'use strict';

// The promise forms, events and async iterators of `lc.promises`, against
// the virtual relay.
const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { VirtualRelay } = require('../tools/virtual-relay');

const { promises: lcp } = lc;
const missing = (name) => require('./support/skip').skipFor(typeof lc[name] === 'function' ? false : `the class "${name}" is not in this build`);

async function withRelay(t, options) {
  const relay = new VirtualRelay({ period: 20, state: 1, ...options });
  await relay.start();
  t.after(() => relay.stop());
  return relay;
}

const at = (port) => ({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'test' });

// A server that takes connections and closes them at once: the link comes up
// and ends before any status frame.
async function slammingServer(t) {
  const server = net.createServer((s) => s.destroy());
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => new Promise((resolve) => server.close(resolve)));
  return server.address().port;
}

test('connect resolves at the first status; codes iterate 2 then 1 and end', async (t) => {
  const relay = await withRelay(t, { state: 5, version: 0x01020304 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  assert.ok(com instanceof lcp.Com);
  assert.strictEqual(com.ready(), true);
  assert.strictEqual(com.getVersion(), 0x01020304);
  assert.strictEqual(com.native.getState(), 5);

  const seen = [];
  const events = [];
  com.on('state', () => events.push('state'));
  com.on('end', () => events.push('end'));
  const iteration = (async () => {
    for await (const code of com.codes()) {
      seen.push(code);
      if (code === 2) com.stop();
    }
  })();
  relay.setState(7);
  await iteration;
  assert.deepStrictEqual(seen, [2, 1]);
  assert.deepStrictEqual(events, ['state', 'end']);
  assert.strictEqual(com.ready(), false);
  await com.ended; // already settled
});

test('connect rejects when the link ends before any status, and when start refuses', async (t) => {
  const port = await slammingServer(t);
  await assert.rejects(lcp.connect({ ip: '127.0.0.1', port }), { name: 'LcError', code: 'ERR_LC_ENDED' });

  const com = new lcp.Com();
  await assert.rejects(com.start({ type: 'SPI', ip: '127.0.0.1', port }), { code: 'ERR_LC_REFUSED' });
  // A start while a run is still going is refused too; the first run goes on.
  const relay = await withRelay(t);
  const up = com.start(at(relay.port));
  await assert.rejects(com.start(at(relay.port)), { code: 'ERR_LC_REFUSED' });
  await up;
  await com.stop();
  assert.strictEqual(com.ready(), false);
});

test('an abort signal ends a connect that has not come up', async (t) => {
  const relay = await withRelay(t, { period: 0 }); // accepts, never sends a status
  const com = new lcp.Com();
  const controller = new AbortController();
  const up = com.start(at(relay.port), { signal: controller.signal });
  await relay.waitForClient();
  controller.abort();
  await assert.rejects(up, { code: 'ERR_LC_ABORTED' });
  await com.ended;
  assert.strictEqual(com.ready(), false);
  await assert.rejects(com.start(at(relay.port), { signal: AbortSignal.abort() }), {
    code: 'ERR_LC_ABORTED',
  });
});

test('breaking out of a code iteration unsubscribes; stop on an idle link resolves', async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  const before = com.listenerCount('code');
  const it = com.codes();
  assert.strictEqual(com.listenerCount('code'), before + 1);
  relay.setState(2);
  for await (const code of it) {
    assert.strictEqual(code, 2);
    break;
  }
  assert.strictEqual(com.listenerCount('code'), before);
  await com.stop();
  await com.stop(); // nothing runs: resolves at once
});

test('the promise forms come as lc.promises and lc/promises, outside the exports\' keys', () => {
  assert.strictEqual(require('../promises'), lcp);
  assert.ok(!Object.keys(lc).includes('promises'));
  const { promises } = lc;
  assert.strictEqual(promises, lcp);
});

test('wrappers accept native objects and wrappers alike; wrong ones throw', async () => {
  const top = new lcp.Topology([{ id: 0, type: 0, neighbours: [] }]);
  assert.deepStrictEqual(top.getTop(), [{ id: 0, type: 0, neighbours: [] }]);
  assert.strictEqual(lcp.toNative(top), top.native);
  const plain = new lc.Topology();
  assert.strictEqual(lcp.toNative(plain), plain);
  if (!missing('Luminosity')) {
    assert.ok(new lcp.Luminosity(new lcp.Com()).native instanceof lc.Luminosity);
    assert.ok(new lcp.Luminosity(new lc.Com()).native instanceof lc.Luminosity);
    assert.throws(() => new lcp.Luminosity({}), TypeError);
  }
});

test('a class this build lacks fails with a clear error', () => {
  const absent = ['Changer', 'Player', 'CustomApp', 'ComBridge', 'Loader'].find((n) => missing(n));
  if (!absent) return; // every class is here: nothing to check
  const ctor = lcp[absent];
  assert.throws(() => new ctor(new lcp.Com()), { code: 'ERR_LC_MISSING', message: new RegExp(absent) });
});

test('commands resolve on success and reject on failure', { skip: missing('Luminosity') }, async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  await new lcp.Luminosity(com).changeTo(42);
  await relay.waitForFrame((f) => f.type === 1 && f.payload[0] === 4 && f.payload[1] === 42);
  await new lcp.Changer(com).changeTo(3);
  await relay.waitForFrame((f) => f.type === 1 && f.payload[0] === 2 && f.payload[1] === 3);

  relay.setState(0); // never ready: the ready wait times out after 5 s
  const started = Date.now();
  await assert.rejects(new lcp.Luminosity(com).changeTo(1), { code: 'ERR_LC_FAILED' });
  assert.ok(Date.now() - started >= 4900);
});

test('topology update resolves with the relay\'s installation', { skip: missing('Topology') || (typeof lc.Topology.prototype.update !== 'function' && 'Topology.update is not in this build') }, async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const doc = [
    { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
    { id: 1, type: 4, neighbours: [{ channel: 0, id: 0, child: 0 }] },
  ];
  relay.setInstallation(doc);
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  const top = new lcp.Topology();
  await top.update('relay', 'quadra', com);
  assert.deepStrictEqual(top.getTop(), doc);
  await com.stop();
  await assert.rejects(top.update('relay', 'quadra', com), { code: 'ERR_LC_FAILED' });
});

test('SD transfer reports progress in order and resolves', { skip: missing('SdSender') }, async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'lc-')), 'clip.bin');
  fs.writeFileSync(file, Buffer.alloc(5000, 7));
  const progress = [];
  await new lcp.SdSender(com).send(file, { onProgress: (sent, total) => progress.push([sent, total]) });
  assert.ok(progress.length > 0);
  assert.deepStrictEqual(progress[progress.length - 1], [5000, 5000]);
  for (let i = 1; i < progress.length; i++) assert.ok(progress[i][0] >= progress[i - 1][0]);
  await assert.rejects(new lcp.SdSender(com).send(path.join(file, 'missing')), { code: 'ERR_LC_FAILED' });
});

test('custom application messages arrive through for await and end with stop', { skip: missing('CustomApp') }, async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  const app = new lcp.CustomApp(com);
  const run = app.start();
  await relay.waitForFrame((f) => f.type === 2 && f.payload.length === 0);
  const got = [];
  const reading = (async () => {
    for await (const bytes of app.messages()) {
      got.push([...bytes]);
      if (got.length === 2) app.stop();
    }
  })();
  relay.sendData(Buffer.from([1, 2, 3]));
  relay.sendData(Buffer.from([4]));
  await reading;
  await run;
  assert.deepStrictEqual(got, [[1, 2, 3], [4]]);
});

test('the bridge resolves with its port and ends on stop', { skip: missing('ComBridge') }, async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  const bridge = new lcp.ComBridge(com);
  const port = await bridge.start({ host: '127.0.0.1', port: 0 });
  assert.ok(port > 0);
  assert.strictEqual(bridge.getPort(), port);
  await assert.rejects(bridge.start({ host: '127.0.0.1', port: 0 }), { code: 'ERR_LC_REFUSED' });
  await bridge.stop();
  assert.strictEqual(bridge.getPort(), 0);
});

test('the connect signal bounds the connect only; wrong descriptions reject', async (t) => {
  const relay = await withRelay(t);
  const controller = new AbortController();
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port }, { signal: controller.signal });
  controller.abort();
  await new Promise((r) => setTimeout(r, 100));
  assert.strictEqual(com.ready(), true, 'an abort after the link came up leaves it up');
  await com.stop();
  await assert.rejects(new lcp.Com().start({ type: 'TCPIP', ip: 127, port: relay.port }), TypeError);
});
