'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const net = require('net');
const { spawn } = require('child_process');
const lc = require('..');
const { VirtualRelay } = require('../lib/relay');
const { codeRecorder, delay, eventually } = require('./support/codes');
const { runChild, root } = require('./support/child');

require('v8').setFlagsFromString('--expose-gc');
const gc = require('vm').runInNewContext('gc');

const { describe } = require('./support/link');

async function withRelay(t, options) {
  const relay = new VirtualRelay({ period: 20, ...options });
  await relay.start();
  t.after(() => relay.stop());
  return relay;
}

test('states 5, 5, 7 give code 0 then 2 once; stop gives 1', async (t) => {
  const relay = await withRelay(t, { state: 5, version: 0x01020304 });
  const com = new lc.Com();
  const r = codeRecorder();
  assert.strictEqual(com.ready(), false);
  assert.strictEqual(com.start(describe(relay.port), r.callback), true);
  await r.until((c) => c.length === 1);
  await delay(60); // a few more frames with state 5
  relay.setState(7);
  await r.until((c) => c.length === 2);
  await delay(100); // more frames with state 7 must not report again
  assert.deepStrictEqual(r.codes, [0, 2]);
  assert.strictEqual(com.ready(), true);
  assert.strictEqual(com.getVersion(), 0x01020304);
  assert.strictEqual(com.stop(), true);
  await r.ended();
  assert.deepStrictEqual(r.codes, [0, 2, 1]);
  assert.ok(r.firstArgs.every((a) => a === undefined));
  assert.strictEqual(com.ready(), false);
  assert.strictEqual(com.stop(), false);
});

test('a first status never reports a change, even with a non-zero state', async (t) => {
  const relay = await withRelay(t, { state: 3 });
  const com = new lc.Com();
  const r = codeRecorder();
  com.start(describe(relay.port), r.callback);
  await r.until((c) => c.length === 1);
  await delay(80);
  com.stop();
  await r.ended();
  assert.deepStrictEqual(r.codes, [0, 1]);
});

test('wrong descriptions and callbacks', async (t) => {
  const relay = await withRelay(t);
  const com = new lc.Com();
  let called = 0;
  const cb = () => called++;
  assert.strictEqual(com.start({ type: 'SPI', ip: '127.0.0.1', port: relay.port }, cb), false);
  for (const [desc, callback] of [
    [undefined, cb],
    [{ ip: '127.0.0.1', port: relay.port }, cb],
    [{ type: 7, ip: '127.0.0.1', port: relay.port }, cb],
    [{ type: 'TCPIP', ip: 127, port: relay.port }, cb],
    [{ type: 'TCPIP', ip: '127.0.0.1', port: 'x' }, cb],
    [{ type: 'TCPIP', ip: '127.0.0.1', port: 65536 + relay.port }, cb],
    [describe(relay.port), undefined],
    [describe(relay.port), 'not a function'],
  ]) {
    assert.throws(() => com.start(desc, callback), /TypeError|RangeError/, JSON.stringify(desc));
  }
  await delay(200);
  assert.strictEqual(called, 0);
  assert.strictEqual(relay.connections, 0);
  assert.strictEqual(com.ready(), false);
});

test('a close frame ends the run only when the connection ends', async (t) => {
  const relay = await withRelay(t);
  const com = new lc.Com();
  const r = codeRecorder();
  com.start(describe(relay.port), r.callback);
  await r.until((c) => c.length === 1);
  relay.sendClose();
  await delay(200);
  assert.deepStrictEqual(r.codes, [0]);
  assert.strictEqual(com.ready(), true);
  relay.disconnect();
  await r.ended();
  assert.deepStrictEqual(r.codes, [0, 1]);
  assert.strictEqual(com.ready(), false);
});

test('getVersion follows the latest status; a 4-byte status gives 0', async (t) => {
  const relay = await withRelay(t, { version: 4242 });
  const com = new lc.Com();
  const r = codeRecorder();
  assert.strictEqual(com.getVersion(), 0);
  com.start(describe(relay.port), r.callback);
  await r.until((c) => c.length === 1);
  assert.strictEqual(com.getVersion(), 4242);
  relay.set({ statusLength: 4 });
  await eventually(() => com.getVersion() === 0);
  com.stop();
  await r.ended();
});

test('a refused connection reports 1 alone; start again afterwards', async (t) => {
  // A port that was free a moment ago: bound, read back and closed.
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const freePort = server.address().port;
  await new Promise((resolve) => server.close(resolve));

  const com = new lc.Com();
  const r = codeRecorder();
  assert.strictEqual(com.start(describe(freePort), r.callback), true);
  await r.ended();
  assert.deepStrictEqual(r.codes, [1]);

  const relay = await withRelay(t);
  const again = codeRecorder();
  assert.strictEqual(com.start(describe(relay.port), again.callback), true);
  await again.until((c) => c.length === 1);
  com.stop();
  await again.ended();
  assert.deepStrictEqual(again.codes, [0, 1]);
});

test('start while a run has not reported 1 is refused and changes nothing', async (t) => {
  const relay = await withRelay(t);
  const other = await withRelay(t);
  const com = new lc.Com();
  const r = codeRecorder();
  let secondCalls = 0;
  com.start(describe(relay.port), r.callback);
  // Refused while connecting, while running and while ending.
  assert.strictEqual(com.start(describe(other.port), () => secondCalls++), false);
  await r.until((c) => c.length === 1);
  assert.strictEqual(com.start(describe(other.port), () => secondCalls++), false);
  com.stop();
  assert.strictEqual(com.start(describe(other.port), () => secondCalls++), false);
  await r.ended();
  assert.deepStrictEqual(r.codes, [0, 1]);
  assert.strictEqual(secondCalls, 0);
  assert.strictEqual(other.connections, 0);
});

test('stop right after start ends that start at once; the next start runs', async (t) => {
  const relay = await withRelay(t);
  const com = new lc.Com();
  const r = codeRecorder();
  assert.strictEqual(com.start(describe(relay.port), r.callback), true);
  // Queued or connecting: the stop still ends the run it was asked after.
  assert.strictEqual(com.stop(), true);
  await r.ended(1000);
  assert.strictEqual(r.codes[r.codes.length - 1], 1);
  assert.strictEqual(com.ready(), false);
  assert.strictEqual(com.stop(), false);

  const again = codeRecorder();
  assert.strictEqual(com.start(describe(relay.port), again.callback), true);
  await again.until((c) => c.length === 1);
  assert.deepStrictEqual(again.codes, [0]);
  com.stop();
  await again.ended();
});

test('the link survives relay faults and ends on a cut frame', async (t) => {
  const relay = await withRelay(t);
  const com = new lc.Com();
  const r = codeRecorder();
  com.start(describe(relay.port), r.callback);
  await r.until((c) => c.length === 1);
  relay.sendEmpty(0);
  relay.sendEmpty(1);
  relay.sendEmpty(3);
  relay.sendUnknown(9);
  relay.sendLargest();
  relay.flood(2000);
  await delay(150);
  assert.strictEqual(com.ready(), true);
  assert.deepStrictEqual(r.codes, [0]);
  relay.closeMidPayload();
  await r.ended();
  assert.deepStrictEqual(r.codes, [0, 1]);
});

test('100 start/stop cycles leave no descriptor or thread behind', async (t) => {
  const relay = await withRelay(t, { period: 5 });
  const com = new lc.Com();
  const cycle = async () => {
    const r = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), r.callback), true);
    await r.until((c) => c.length === 1);
    assert.strictEqual(com.stop(), true);
    await r.ended();
    await relay.waitForDisconnect();
  };
  // Objects of earlier tests may be finalised meanwhile: collect them first.
  const settle = async () => {
    for (let i = 0; i < 3; i++) {
      gc();
      await delay(10);
    }
  };
  const count = (dir) => fs.readdirSync(dir).length;
  await cycle(); // the worker pool's threads and the kept driver exist from here on
  await settle();
  const fds = count('/proc/self/fd');
  const threads = count('/proc/self/task');
  for (let i = 0; i < 100; i++) await cycle();
  await settle();
  assert.strictEqual(count('/proc/self/fd'), fds);
  assert.strictEqual(count('/proc/self/task'), threads);
});

test('a Com dropped while its worker runs is collected safely', () => {
  const relayPath = JSON.stringify(require.resolve('../lib/relay'));
  const source = `
    require('v8').setFlagsFromString('--expose-gc');
    const gc = require('vm').runInNewContext('gc');
    const { VirtualRelay } = require(${relayPath});
    (async () => {
      const relay = new VirtualRelay({ period: 10 });
      const port = await relay.start();
      const codes = [];
      let done;
      const ended = new Promise((r) => { done = r; });
      (() => {
        const com = new lc.Com();
        com.start({ type: 'TCPIP', ip: '127.0.0.1', port }, (u, c) => {
          codes.push(c);
          if (c === 1) done();
        });
      })();
      for (let i = 0; i < 5; i++) { gc(); await new Promise((r) => setTimeout(r, 20)); }
      relay.disconnect();
      await ended;
      for (let i = 0; i < 5; i++) { gc(); await new Promise((r) => setTimeout(r, 10)); }
      console.log(JSON.stringify(codes));
      await relay.stop();
    })();
  `;
  const r = runChild(source);
  assert.strictEqual(r.signal, null, r.stderr);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.deepStrictEqual(JSON.parse(r.stdout), [0, 1]);
});

test('process.exit with a live link exits at once', async (t) => {
  // The relay lives in this process and keeps talking while the child exits.
  const relay = await withRelay(t, { period: 10 });
  const source = `
    const lc = require(${JSON.stringify(root)});
    const com = new lc.Com();
    com.start({ type: 'TCPIP', ip: '127.0.0.1', port: ${relay.port} }, (u, c) => {
      if (c === 0) process.exit(3);
    });
  `;
  const started = Date.now();
  const child = spawn(process.execPath, ['-e', source], { stdio: 'ignore' });
  const killer = setTimeout(() => child.kill('SIGKILL'), 30000);
  const [code, signal] = await new Promise((resolve) => child.on('exit', (c, s) => resolve([c, s])));
  clearTimeout(killer);
  assert.strictEqual(signal, null);
  assert.strictEqual(code, 3);
  assert.ok(Date.now() - started < 20000, `took ${Date.now() - started} ms`);
});
