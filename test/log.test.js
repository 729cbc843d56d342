'use strict';

const test = require('node:test');
const assert = require('node:assert');
const { runChild } = require('./support/child');

const stamp = '\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d UTC';

test('full lines name level, time and source', () => {
  const r = runChild(`
    const l = new lc.Log('ui');
    l.info('hello');
    l.error('bad thing');
    l.info();
    l.info(undefined);
    l.flush();
  `);
  assert.strictEqual(r.status, 0, r.stderr);
  const lines = r.stderr.split('\n');
  assert.match(lines[0], new RegExp(`^\\[INFO\\]\\[${stamp}\\]\\[ui\\] hello$`));
  assert.match(lines[1], new RegExp(`^\\[ERROR\\]\\[${stamp}\\]\\[ui\\] bad thing$`));
  assert.match(lines[2], /\] undefined$/);
  assert.match(lines[3], /\] undefined$/);
  assert.strictEqual(lines.length, 5);
});

test('simple mode writes the message alone; only exact mode words count', () => {
  const r = runChild(`
    const l = new lc.Log('ui');
    lc.Log.setMode('simple');
    l.info('one');
    lc.Log.setMode('FULL');
    l.error('two');
    lc.Log.setMode('verbose');
    l.info('three');
    lc.Log.setMode('full');
    l.info('four');
  `);
  assert.strictEqual(r.status, 0, r.stderr);
  const lines = r.stderr.split('\n');
  assert.deepStrictEqual(lines.slice(0, 3), ['one', 'two', 'three']);
  assert.match(lines[3], new RegExp(`^\\[INFO\\]\\[${stamp}\\]\\[ui\\] four$`));
});

test('non-string arguments raise errors; the line is still written, empty', () => {
  const r = runChild(`
    lc.Log.setMode('simple');
    const l = new lc.Log('ui');
    let errors = [];
    for (const v of [42, null, {}, Symbol('s')]) {
      try { l.info(v); } catch (e) { errors.push(e.message); }
    }
    try { new lc.Log(7); } catch (e) { errors.push('ctor: ' + e.message); }
    try { new lc.Log(); } catch (e) { errors.push('ctor: ' + e.message); }
    try { lc.Log.setMode(1); } catch (e) { errors.push('mode: ' + e.message); }
    l.info('after');
    process.stdout.write(JSON.stringify(errors));
  `);
  assert.strictEqual(r.status, 0, r.stderr);
  const errors = JSON.parse(r.stdout);
  assert.strictEqual(errors.length, 7);
  for (const e of errors) assert.match(e, /string was expected/);
  assert.strictEqual(r.stderr, '\n\n\n\nafter\n');
});
