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
const { VirtualRelay } = require('../lib/relay');

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

// A TCP peer that takes the connection and never says anything.
async function mutePeer(t) {
  const sockets = [];
  const server = net.createServer((s) => sockets.push(s));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => {
    for (const s of sockets) s.destroy();
    return new Promise((resolve) => server.close(resolve));
  });
  return server.address().port;
}

function withPackage(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  // A whole RAM image: a stream of 3203 packets, some 16 s on the wire.
  const { file } = require('./support/transfers').packageFile(dir, 'app', [
    { tag: 'quadra', address: 0xa0000000, size: 128 * 1024 },
  ]);
  const app = new lcp.LcApp();
  assert.ok(app.openFromFile(file));
  return app;
}

// Each failure reaches both forms with what the module said about it.
test('failures carry their reason through the callback and the promise', async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect(`127.0.0.1:${relay.port}`);
  const idle = new lcp.Com(); // never started: its link is down
  const rows = [
    ['a missing file', (cb) => new lc.SdSender(com).send('/nope.bin', cb),
      (o) => new lcp.SdSender(com).send('/nope.bin', o), 'Cannot read the file /nope.bin.'],
    ['an application out of range', (cb) => new lc.Changer(com).changeTo(99999, cb),
      (o) => new lcp.Changer(com).changeTo(99999, o), /^Application 99999 is out of range/],
    ['an upload on a link that is down', (cb) => new lc.Loader(idle).send(new lc.LcApp(), cb),
      (o) => new lcp.Loader(idle).send(new lcp.LcApp(), o), /could not be sent: the link is down/],
  ];
  for (const [what, callbackForm, promiseForm, reason] of rows) {
    const args = await new Promise((resolve) => callbackForm((...a) => resolve(a)));
    assert.strictEqual(args[0], true, what);
    assert.match(args[args.length - 1], typeof reason === 'string' ? new RegExp(`^${reason.replace(/\./g, '\\.')}$`) : reason, what);
    const err = await promiseForm({}).then(() => null, (e) => e);
    assert.ok(err instanceof lcp.LcError, what);
    assert.strictEqual(err.code, 'ERR_LC_FAILED', what);
    assert.strictEqual(err.reason, args[args.length - 1], what);
    assert.ok(err.message.includes(err.reason), what);
  }
  await com.stop();
});

test('host names and host:port reach the relay; a mute peer is named within 3.5 s', async (t) => {
  const relay = await withRelay(t, { state: 1 });
  for (const address of [{ ip: 'localhost', port: relay.port }, `localhost:${relay.port}`]) {
    const com = await lcp.connect(address);
    assert.strictEqual(com.ready(), true);
    await com.stop();
  }
  const port = await mutePeer(t);
  const started = Date.now();
  const err = await lcp.connect(`localhost:${port}`).then(() => null, (e) => e);
  assert.ok(Date.now() - started < 3500, `took ${Date.now() - started} ms`);
  assert.strictEqual(err.code, 'ERR_LC_ENDED');
  assert.strictEqual(err.message, `no status from localhost:${port}: not a relay, or not answering`);
  await assert.rejects(lcp.connect('localhost'), TypeError);
});

// (operation, what keeps it waiting, when the abort comes): the promise
// rejects within 100 ms of the abort and the link is still up.
test('an abort ends each waiting operation within 100 ms and leaves the link up', async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  const big = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'lc-')), 'big.bin');
  fs.writeFileSync(big, Buffer.alloc(4 << 20, 1));
  const app = withPackage(t);
  const rows = [
    ['luminosity, relay busy', () => relay.setState(0), (signal) => new lcp.Luminosity(com).changeTo(9, { signal }), 200],
    ['application change, relay busy', () => relay.setState(0), (signal) => new lcp.Changer(com).changeTo(2, { signal }), 50],
    ['reset, relay busy', () => relay.setState(0), (signal) => new lcp.Reset(com).reset({ signal }), 100],
    ['topology, no records', () => relay.setInstallation([]), (signal) => new lcp.Topology().update('relay', 'quadra', com, { signal }), 300],
    ['SD transfer, mid-file', () => {}, (signal) => new lcp.SdSender(com).send(big, { signal }), 300],
    // A cut upload first completes the unit in progress (up to 24 packets
    // 5 ms apart) so that the tiles can take the next stream.
    ['upload, mid-stream', () => {}, (signal) => new lcp.Loader(com).send(app, { signal }), 300, 100 + 24 * 5],
    ['playback', () => {}, (signal) => new lcp.Player(com).start(0, new lcp.Topology([{ id: 0, type: 0, neighbours: [] }]), 'rgb', false, { signal }), 200],
    ['custom application run', () => {}, (signal) => new lcp.CustomApp(com).start({ signal }), 200],
  ];
  for (const [what, arrange, run, after, bound = 100] of rows) {
    arrange();
    const controller = new AbortController();
    const pending = run(controller.signal).then(() => null, (e) => e);
    await new Promise((r) => setTimeout(r, after));
    const abortedAt = Date.now();
    controller.abort();
    const err = await pending;
    const took = Date.now() - abortedAt;
    assert.strictEqual(err && err.code, 'ERR_LC_ABORTED', `${what}: ${err && err.message}`);
    assert.ok(took <= bound, `${what}: rejected ${took} ms after the abort`);
    assert.strictEqual(com.ready(), true, `${what}: the link stays up`);
    relay.setState(1);
  }
  await assert.rejects(new lcp.SdSender(com).send(big, { signal: AbortSignal.abort() }), { code: 'ERR_LC_ABORTED' });
});

test('log lines from several threads arrive as events, each thread\'s in order', async () => {
  const got = [];
  const onLine = (line) => got.push(line);
  lc.logs.on('line', onLine);
  lc.logs.setConsole(false);
  try {
    const com = new lc.Com();
    const n = 24;
    await Promise.all(Array.from({ length: n }, (_, i) => new Promise((resolve) => {
      new lc.SdSender(com).send(`/nope-${i}.bin`, resolve);
    })));
    await new Promise((r) => setImmediate(r));
    for (let i = 0; i < n; i++) {
      const mine = got.filter((l) => l.message === `Cannot read the file /nope-${i}.bin.`);
      assert.strictEqual(mine.length, 1, `line of operation ${i}`);
      assert.deepStrictEqual(Object.keys(mine[0]).sort(), ['level', 'message', 'source', 'time']);
      assert.strictEqual(mine[0].level, 'ERROR');
      assert.strictEqual(mine[0].source, 'sdSender');
    }
    assert.strictEqual(got.filter((l) => l.message === 'An error occured while sending the file.').length, n);
    for (let i = 1; i < got.length; i++) assert.ok(got[i].time >= got[i - 1].time - 1000);
  } finally {
    lc.logs.off('line', onLine);
    lc.logs.setConsole(true);
  }
});

test('after an upload aborted mid-stream, the next upload succeeds at its first try', async (t) => {
  const relay = await withRelay(t, { state: 1 });
  const com = await lcp.connect({ ip: '127.0.0.1', port: relay.port });
  t.after(() => com.stop());
  const app = withPackage(t);
  for (const after of [150, 333]) { // inside a unit's data, at various points
    const controller = new AbortController();
    const upload = new lcp.Loader(com).send(app, { signal: controller.signal });
    setTimeout(() => controller.abort(), after);
    await assert.rejects(upload, { code: 'ERR_LC_ABORTED' });
    const small = new lcp.LcApp();
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-'));
    const { file } = require('./support/transfers').packageFile(dir, 'small', [{ tag: 'quadra', address: 0xa0000000, size: 16 }]);
    assert.ok(small.openFromFile(file));
    await new lcp.Loader(com).send(small);
    const [cut, next] = relay.loader.results.slice(-2);
    assert.strictEqual(cut.ok, false, 'the cut stream is refused, not run');
    assert.strictEqual(next.ok, true);
  }
});
