'use strict';

// "Changer", "Luminosity" and "Reset" against the virtual relay.

const test = require('node:test');
const assert = require('node:assert');
const { spawn } = require('child_process');
const lc = require('..');
const { VirtualRelay } = require('../lib/relay');
const { root, exited } = require('./support/child');

const { describe, linked } = require('./support/link');

// Calls `start(callback)` and resolves with [failed, milliseconds].
function timed(start) {
  const began = Date.now();
  return new Promise((resolve) => {
    start((failed, ...rest) => {
      // A failure may say why, as one more argument; a success says nothing.
      assert.ok(rest.length === 0 || (failed && rest.length === 1 && typeof rest[0] === 'string'), String(rest));
      resolve([failed, Date.now() - began]);
    });
  });
}

const commandsOf = (relay, code) => relay.commands.commands.filter((c) => c.code === code);

test('each command succeeds against a relay that answers', async (t) => {
  const { relay, com } = await linked(t, { appDelay: 100 });
  const changer = new lc.Changer(com);
  const luminosity = new lc.Luminosity(com);
  const reset = new lc.Reset(com);
  const [changed, levels] = await Promise.all([
    timed((cb) => changer.changeTo(3, cb)),
    Promise.all([1000, 255, 0].map((level) => timed((cb) => luminosity.changeTo(level, cb)))),
  ]);
  // The state moved 100 ms after the frame: the callback comes about 1 s later.
  assert.strictEqual(changed[0], false);
  assert.ok(changed[1] >= 1000 && changed[1] < 2500, `changer took ${changed[1]} ms`);
  assert.strictEqual(relay.commands.application, 3);
  for (const [failed, ms] of levels) {
    assert.strictEqual(failed, false);
    assert.ok(ms >= 1000 && ms < 2500, `luminosity took ${ms} ms`);
  }
  assert.deepStrictEqual(commandsOf(relay, 4).map((c) => c.argument).sort((a, b) => a - b),
    [0, 255, 255]);

  // A reset seen as state 0, then a fallback seen as the link closing.
  let [failed] = await timed((cb) => reset.reset(cb));
  assert.strictEqual(failed, false);
  assert.deepStrictEqual(commandsOf(relay, 1), [{ code: 1, argument: 0 }]);
  relay.commands.set({ resetMode: 'close' });
  await new Promise((r) => setTimeout(r, 400)); // the state word comes back from 0
  [failed] = await timed((cb) => reset.fallback(cb));
  assert.strictEqual(failed, false);
  assert.deepStrictEqual(commandsOf(relay, 5), [{ code: 5, argument: 0 }]);
});

test('an application number above 255 fails at once and sends nothing', async (t) => {
  const { relay, com } = await linked(t);
  const [failed, ms] = await timed((cb) => new lc.Changer(com).changeTo(258, cb));
  assert.strictEqual(failed, true);
  assert.ok(ms < 500, `took ${ms} ms`);
  await new Promise((r) => setTimeout(r, 100));
  assert.deepStrictEqual(relay.received.filter((f) => f.type === 1), []);
});

test('every command fails after 5 s against a relay that keeps state 0', async (t) => {
  const { relay, com } = await linked(t, { state: 0 });
  const results = await Promise.all([
    timed((cb) => new lc.Changer(com).changeTo(3, cb)),
    timed((cb) => new lc.Luminosity(com).changeTo(10, cb)),
    timed((cb) => new lc.Reset(com).reset(cb)),
  ]);
  for (const [failed, ms] of results) {
    assert.strictEqual(failed, true);
    assert.ok(ms >= 4900 && ms < 7000, `took ${ms} ms`);
  }
  assert.deepStrictEqual(relay.received.filter((f) => f.type === 1), []);
});

test('a link that ends during the ready wait fails the command at once', async (t) => {
  const { relay, com } = await linked(t, { state: 0 });
  const pending = timed((cb) => new lc.Luminosity(com).changeTo(10, cb));
  setTimeout(() => relay.disconnect(), 100);
  const [failed, ms] = await pending;
  assert.strictEqual(failed, true);
  assert.ok(ms < 1500, `took ${ms} ms`);
});

test('wrong arguments raise TypeErrors', async (t) => {
  const { com } = await linked(t);
  for (const Class of [lc.Changer, lc.Luminosity, lc.Reset]) {
    assert.throws(() => new Class(), { name: 'TypeError', message: 'expected a Com object' });
    assert.throws(() => new Class({}), TypeError);
    assert.throws(() => new Class(new lc.Topology()), TypeError);
    assert.throws(() => Class(com), TypeError);
  }
  const changer = new lc.Changer(com);
  assert.throws(() => changer.changeTo('3', () => {}), /application must be a number/);
  assert.throws(() => changer.changeTo(3), /callback must be a function/);
  assert.throws(() => new lc.Luminosity(com).changeTo(null, () => {}), /level must be a number/);
  assert.throws(() => new lc.Reset(com).reset(), /callback must be a function/);
  assert.throws(() => new lc.Reset(com).fallback(3), /callback must be a function/);
});

// Numbers judged before any conversion: a refused one throws and nothing
// reaches the relay; whole levels from 256 up are sent as 255.
test('numbers that would wrap are refused before anything is sent', async (t) => {
  const { relay, com } = await linked(t);
  const idle = new lc.Com();
  const sent = [];
  for (const [value, level, application, port] of [[NaN, TypeError, TypeError, TypeError],
    [Infinity, TypeError, TypeError, TypeError], [-Infinity, TypeError, TypeError, TypeError],
    [2.5, TypeError, TypeError, TypeError], [-1, RangeError, RangeError, RangeError],
    [2 ** 32, 255, RangeError, RangeError], [2 ** 53, 255, RangeError, RangeError]]) {
    for (const [expected, call] of [[level, (cb) => new lc.Luminosity(com).changeTo(value, cb)],
      [application, (cb) => new lc.Changer(com).changeTo(value, cb)],
      [port, (cb) => idle.start({ ...describe(1), port: value }, cb)]]) {
      if (expected === 255) sent.push(timed(call));
      else assert.throws(() => call(() => assert.fail('ran')), expected, `${call} ${value}`);
    }
  }
  assert.deepStrictEqual((await Promise.all(sent)).map(([failed]) => failed), [false, false]);
  assert.deepStrictEqual(relay.commands.commands, [{ code: 4, argument: 255 }, { code: 4, argument: 255 }]);
});

test('commands waiting on the relay end at once when their worker thread is terminated', async (t) => {
  // State 0: every command sits in its ready wait, the update in its waits.
  const relay = new VirtualRelay({ period: 20, state: 0 });
  await relay.start();
  t.after(() => relay.stop());
  const inWorker = `
    const lc = require(${JSON.stringify(root)});
    const { parentPort } = require('worker_threads');
    const com = new lc.Com();
    com.start({ type: 'TCPIP', ip: '127.0.0.1', port: ${relay.port} }, (u, code) => {
      if (code !== 0) return;
      const never = () => parentPort.postMessage('called back');
      new lc.Changer(com).changeTo(1, never);
      new lc.Luminosity(com).changeTo(1, never);
      new lc.Reset(com).reset(never);
      new lc.Topology().update('relay', 'quadra', com, never);
      // A link never started gets no Closed event from its end: the
      // commands on it are cancelled on their own.
      const idle = new lc.Com();
      new lc.Luminosity(idle).changeTo(1, never);
      new lc.Topology().update('relay', 'quadra', idle, never);
      setTimeout(() => parentPort.postMessage('waiting'), 300);
    });`;
  const main = `
    const { Worker } = require('worker_threads');
    const worker = new Worker(${JSON.stringify(inWorker)}, { eval: true });
    worker.on('message', async (m) => {
      if (m !== 'waiting') { console.log(m); return; }
      const began = Date.now();
      await worker.terminate();
      console.log('terminated in', Date.now() - began);
      process.exitCode = 3;
    });`;
  const child = spawn(process.execPath, ['-e', main], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => (stdout += d));
  child.stderr.on('data', (d) => (stderr += d));
  const killer = setTimeout(() => child.kill('SIGKILL'), 15000);
  const began = Date.now();
  const [code, signal] = await exited(child);
  clearTimeout(killer);
  assert.strictEqual(signal, null, stderr);
  assert.strictEqual(code, 3, stderr);
  const m = stdout.match(/terminated in (\d+)/);
  assert.ok(m, stdout);
  assert.ok(Number(m[1]) < 1000, `terminate took ${m[1]} ms`);
  assert.doesNotMatch(stdout, /called back/);
  assert.ok(Date.now() - began < 4000, `child ran ${Date.now() - began} ms`);
});
