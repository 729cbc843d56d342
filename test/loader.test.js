'use strict';

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');

require('v8').setFlagsFromString('--expose-gc');
const gc = require('vm').runInNewContext('gc');
const { VirtualRelay } = require('../lib/relay');
const { codeRecorder } = require('./support/codes');
const { tempDir, linked, packageFile, completion, progressRecorder, checkProgress } =
  require('./support/transfers');

test('a package built with objcopy reaches the relay byte for byte', async (t) => {
  const dir = tempDir(t);
  const { relay, com } = await linked(t, { state: 3 });
  // Unaligned start and end: partly filled kilobytes travel as well.
  const { file, doc } = packageFile(dir, 'app', [
    { tag: 'varna', address: 0xa0000100, size: 2500 },
    { tag: 'delta', address: 0xa0004000, size: 1024 },
  ]);
  relay.loader.expect(doc);
  const app = new lc.LcApp();
  assert.strictEqual(app.openFromFile(file), true);
  assert.deepStrictEqual(app.getTypes(), ['delta', 'varna']);

  const loader = new lc.Loader(com);
  const c = completion();
  const progress = progressRecorder();
  const uploaded = new Promise((resolve) => relay.once('upload', resolve));
  const sentAt = performance.now();
  assert.strictEqual(loader.send(app, c.callback, progress.fn), undefined);
  // Changing the package now must not reach the upload under way.
  const { file: other } = packageFile(dir, 'other', [{ tag: 'quadra', address: 0xa0000000,
    size: 64 }]);
  assert.strictEqual(app.openFromFile(other), true);
  assert.deepStrictEqual(app.getTypes(), ['delta', 'quadra', 'varna']);

  const result = await uploaded;
  const switched = performance.now();
  assert.strictEqual(result.ok, true, result.error);
  assert.strictEqual(result.matches, true);
  // delta: 1 unit; varna: 3 units (0x100..0xAC3 touches three kilobytes).
  assert.strictEqual(result.units, 4);
  const packets = 1 + 4 * 25 + 2 + 1;
  assert.strictEqual(result.packets, packets);
  const { args, at } = await c.done;
  assert.deepStrictEqual(args, [false]);
  // The tiles switched at once; the callback follows the settle second.
  assert.ok(at - switched >= 950 && at - switched < 2000, `${at - switched} ms`);
  checkProgress(assert, progress.calls, packets, sentAt, at);
  const frames = relay.received.filter((f) => f.type === 3);
  assert.ok(frames.every((f) => f.payload.length === 128));
});

test('the relay closing the link after the stream fails the upload at once', async (t) => {
  const dir = tempDir(t);
  const { relay, com } = await linked(t, { loaderReaction: 'close' });
  const { file } = packageFile(dir, 'app', [{ tag: 'delta', address: 0xa0000000, size: 16 }]);
  const app = new lc.LcApp();
  app.openFromFile(file);
  const c = completion();
  const uploaded = new Promise((resolve) => relay.once('upload', resolve));
  // Neither the loader nor the package is referenced any more: the upload
  // keeps what it uses alive.
  new lc.Loader(com).send(app, c.callback);
  gc();
  await uploaded;
  const closedAt = performance.now();
  const { args, at } = await c.done;
  assert.deepStrictEqual(args, [true, 'the link ended while waiting for the tiles to switch']);
  assert.ok(at - closedAt < 1000, `${at - closedAt} ms`);
});

// An upload that starts once the link is up but before its first status
// frame: that frame only tells the state word, it is not the tiles
// switching. The relay keeps its state and then closes the link.
test('the first status after the link came up is not taken for a switch', async (t) => {
  const relay = new VirtualRelay({ period: 0, state: 1, loaderReaction: 'keep' });
  await relay.start();
  t.after(() => relay.stop());
  const com = new lc.Com();
  const codes = codeRecorder();
  com.start({ type: 'TCPIP', ip: '127.0.0.1', port: relay.port, name: 'x' }, codes.callback);
  t.after(() => com.stop());
  await relay.waitForClient();
  await new Promise((r) => setTimeout(r, 100));
  const c = completion();
  const uploaded = new Promise((resolve) => relay.once('upload', resolve));
  new lc.Loader(com).send(new lc.LcApp(), c.callback);
  await uploaded;
  for (let i = 0; i < 5; i++) {
    relay.sendStatus();
    await new Promise((r) => setTimeout(r, 50));
  }
  relay.disconnect();
  const { args } = await c.done;
  assert.deepStrictEqual(args, [true, 'the link ended while waiting for the tiles to switch']);
  await codes.ended();
});

test('an upload over a link that is not up fails without waiting', async () => {
  const com = new lc.Com();
  const c = completion();
  const progress = progressRecorder();
  const started = performance.now();
  new lc.Loader(com).send(new lc.LcApp(), c.callback, progress.fn);
  const { args, at } = await c.done;
  assert.deepStrictEqual(args, [true, 'the stream could not be sent: the link is down or a write failed']);
  assert.ok(at - started < 500);
  assert.deepStrictEqual(progress.calls, []);
});

test('wrong arguments throw a TypeError and start nothing', () => {
  const com = new lc.Com();
  assert.throws(() => new lc.Loader(), TypeError);
  assert.throws(() => new lc.Loader({}), /expected a Com object/);
  assert.throws(() => lc.Loader(com), TypeError);
  const loader = new lc.Loader(com);
  for (const bad of [undefined, {}, com, new lc.Topology(), 'app.json']) {
    assert.throws(() => loader.send(bad, () => {}), /expected a LcApp object/);
  }
  const app = new lc.LcApp();
  assert.throws(() => loader.send(app, 5), /callback must be a function/);
  assert.throws(() => loader.send(app, () => {}, 'x'), /progress must be a function/);
  assert.throws(() => app.getTypes.call({}), TypeError);
});
