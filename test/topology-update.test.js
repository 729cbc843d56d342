'use strict';

// "Topology" "update" against the virtual relay.

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');
const { gridInstallation } = require('../lib/relay');

const { linked } = require('./support/link');
const byId = (doc) => [...doc].sort((a, b) => a.id - b.id);


const update = (top, com, relayTag = 'relay', tileTag = 'quadra') =>
  new Promise((resolve) => top.update(relayTag, tileTag, com, (...args) => resolve(args)));

test('thirty tiles come back as the document the relay was given', async (t) => {
  const doc = gridInstallation(6, 5);
  const { relay, com } = await linked(t, { installation: doc });
  const top = new lc.Topology();
  assert.deepStrictEqual(await update(top, com), [false]);
  assert.deepStrictEqual(byId(top.getTop()), byId(doc));
  assert.deepStrictEqual(top.getMatrix(0), Array.from({ length: 5 }, () => new Array(6).fill(1)));
  assert.strictEqual(relay.records.requests, 1);
});

test('readers see the old topology whole until the update completes', async (t) => {
  const old = gridInstallation(2, 1);
  const doc = gridInstallation(4, 3);
  // One record a frame, slowly: the update takes a while.
  const { com } = await linked(t, {
    installation: doc, recordsPerFrame: 1, frameInterval: 5, startAt: 5,
  });
  const top = new lc.Topology(old);
  let done = false;
  let reads = 0;
  const pending = update(top, com).then((args) => {
    // The first look on the script thread after completion; the old matrix
    // was asked for many times before.
    assert.deepStrictEqual(byId(top.getTop()), byId(doc));
    assert.deepStrictEqual(top.getMatrix(0), Array.from({ length: 3 }, () => new Array(4).fill(1)));
    done = true;
    return args;
  });
  while (!done) {
    assert.deepStrictEqual(byId(top.getTop()), byId(old));
    assert.deepStrictEqual(top.getMatrix(0), [[1, 1]]);
    reads++;
    await new Promise((r) => setTimeout(r, 5));
  }
  assert.deepStrictEqual(await pending, [false]);
  assert.ok(reads > 10, `${reads} reads`);
});

test('a failed update leaves the topology as it was', async (t) => {
  const old = gridInstallation(2, 1);
  const { com } = await linked(t); // no installation: the relay never answers
  const top = new lc.Topology(old);
  const pending = update(top, com);
  setTimeout(() => com.stop(), 100);
  const began = Date.now();
  assert.deepStrictEqual(await pending, [true]);
  assert.ok(Date.now() - began < 1500);
  assert.deepStrictEqual(byId(top.getTop()), byId(old));
});

test('update checks its arguments', async (t) => {
  const { com } = await linked(t);
  const top = new lc.Topology();
  const cb = () => {};
  assert.throws(() => top.update(0, 'quadra', com, cb), /relay tag must be a string/);
  assert.throws(() => top.update('relay', undefined, com, cb), /tile tag must be a string/);
  assert.throws(() => top.update('relay', 'quadra', {}, cb), { name: 'TypeError', message: 'expected a Com object' });
  assert.throws(() => top.update('relay', 'quadra', top, cb), TypeError);
  assert.throws(() => top.update('relay', 'quadra', com), /callback must be a function/);
});
