'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const lc = require('..');
const { tempDir, linked, completion, progressRecorder, checkProgress } =
  require('./support/transfers');

function fileOf(dir, name, size) {
  const file = path.join(dir, name);
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const bytes = Buffer.from(Array.from({ length: size }, (_, i) => (i * 13 + (i >> 8)) & 0xff));
  fs.writeFileSync(file, bytes);
  return { file, bytes };
}

test('"SdSender" stores the file under its base name, "SimLoader" under the time', async (t) => {
  const dir = tempDir(t);
  const { relay, com } = await linked(t);
  // Large enough for a few progress reports.
  const { file, bytes } = fileOf(dir, 'media/clip.bin', 64 * 1024 + 130);
  const c = completion();
  const progress = progressRecorder();
  const sentAt = performance.now();
  new lc.SdSender(com).send(file, c.callback, progress.fn);
  const { args, at } = await c.done;
  assert.deepStrictEqual(args, [false]);
  assert.ok(relay.sd.files.get('clip.bin').equals(bytes));
  checkProgress(assert, progress.calls, bytes.length, sentAt, at);

  const small = fileOf(dir, 'sim.bin', 300);
  const s = completion();
  const before = new Date();
  new lc.SimLoader(com).send(small.file, s.callback);
  assert.deepStrictEqual((await s.done).args, [false]);
  const names = [...relay.sd.files.keys()].filter((n) => n !== 'clip.bin');
  assert.strictEqual(names.length, 1);
  const name = names[0];
  assert.strictEqual(name.length, 29);
  assert.match(name, /^file(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}\n$/);
  const year = String(before.getUTCFullYear());
  assert.ok(name.endsWith(`${year}\n`));
  assert.ok(relay.sd.files.get(name).equals(small.bytes));
});

test('failures reach the callback as true', async (t) => {
  const dir = tempDir(t);
  const { file } = fileOf(dir, 'f.bin', 1000);
  const cases = [
    ['fail-data', file, 'A communication error occured while waiting to send the next data.'],
    [null, path.join(dir, 'missing.bin'), `Cannot read the file ${path.join(dir, 'missing.bin')}.`],
    // Its size reads 0, yet it has bytes: nothing may be announced.
    [null, '/proc/self/status', 'The size of the file /proc/self/status cannot be known: nothing was sent.'],
  ];
  for (const [fault, target, reason] of cases) {
    const { relay, com } = await linked(t, { sdFault: fault });
    const c = completion();
    const started = performance.now();
    new lc.SdSender(com).send(target, c.callback);
    const { args, at } = await c.done;
    assert.deepStrictEqual(args, [true, reason], String(fault));
    assert.ok(at - started < 1000, `${fault}: ${at - started} ms`);
    if (fault === null) {
      assert.strictEqual(relay.received.filter((f) => f.type === 3).length, 0);
    }
  }
});

// The one test here that waits out the real 6-second bound.
test('a relay that never gets ready fails the transfer after the bound', async (t) => {
  const dir = tempDir(t);
  const { file } = fileOf(dir, 'f.bin', 10);
  const { com } = await linked(t, { sdFault: 'stall-ready' });
  const c = completion();
  const started = performance.now();
  new lc.SimLoader(com).send(file, c.callback);
  const { args, at } = await c.done;
  assert.deepStrictEqual(args, [true, 'A timeout occured while waiting the relay is ready to receive.']);
  assert.ok(at - started >= 5900 && at - started < 8000, `${at - started} ms`);
});

test('wrong arguments throw a TypeError', () => {
  const com = new lc.Com();
  for (const Class of [lc.SdSender, lc.SimLoader]) {
    assert.throws(() => new Class(), /expected a Com object/);
    assert.throws(() => new Class(new lc.LcApp()), /expected a Com object/);
    const sender = new Class(com);
    assert.throws(() => sender.send(5, () => {}), /path must be a string/);
    assert.throws(() => sender.send('x', {}), /callback must be a function/);
    assert.throws(() => sender.send('x', () => {}, 1), /progress must be a function/);
  }
});
