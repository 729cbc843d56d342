'use strict';

const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('child_process');
const path = require('path');

test('the demo connects, reports 0, 2, 1 and the version, and exits', () => {
  const demo = path.join(__dirname, '..', 'examples', 'demo.js');
  const r = spawnSync(process.execPath, [demo], { encoding: 'utf8', timeout: 20000 });
  assert.strictEqual(r.status, 0, r.stderr);
  const codes = [...r.stderr.matchAll(/com: code (\d)/g)].map((m) => Number(m[1]));
  assert.deepStrictEqual(codes, [0, 2, 1]);
  assert.match(r.stderr, /relay version 131331 /);
  assert.match(r.stderr, /topology: 5 modules/);
  assert.match(r.stderr, /player: screen 30 x 20/);
  assert.match(r.stderr, /player: [1-9]\d* frames sent/);
  assert.match(r.stderr, /matrix at 0 degrees: ### \/ \.\.#\n/);
  assert.match(r.stderr, /luminosity set to 128\n/);
  assert.match(r.stderr, /from the relay: 5 modules, matrix ### \/ \.\.#\n/);
});
