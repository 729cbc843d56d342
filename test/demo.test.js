'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { PNG } = require('pngjs');
const lc = require('..');

const NEEDED = ['Changer', 'Luminosity', 'Player', 'Loader', 'SdSender'];
const absent = NEEDED.filter((n) => typeof lc[n] !== 'function');
const skip = require('./support/skip').skipFor(absent.length ? `the demo needs the classes ${absent.map((n) => `"${n}"`).join(', ')}` : false);

test('the demo shows every capability against the virtual relay and exits', { skip, timeout: 120000 }, () => {
  const demo = path.join(__dirname, '..', 'examples', 'demo.js');
  const started = Date.now();
  const r = spawnSync(process.execPath, [demo, '--seconds', '1'], { encoding: 'utf8', timeout: 110000 });
  assert.strictEqual(r.status, 0, r.stderr);
  const out = r.stdout;
  const codes = [...out.matchAll(/com: code (\d)/g)].map((m) => Number(m[1]));
  assert.strictEqual(codes[0], 0);
  assert.strictEqual(codes[codes.length - 1], 1);
  assert.ok(codes.slice(1, -1).every((c) => c === 2) && codes.includes(2), `codes ${codes}`);
  assert.match(out, /relay version 131331 \(0x00020103\), state 1/);
  assert.match(out, /topology: 13 modules\nmatrix at 0 degrees: #### \/ #### \/ ####\nmatrix at 90 degrees: ### \/ ### \/ ### \/ ###\n/);
  assert.match(out, /luminosity set to 180 \(the relay recorded 180\)/);
  assert.match(out, /application 3 started; relay state now [1-9]/);
  for (const mode of ['mask', 'rgb', 'video']) {
    assert.match(out, new RegExp(`${mode}: [1-9]\\d* pictures of 40x30, [1-9]\\d* frames`), mode);
  }
  // Colour blocks of the terminal picture: 15 lines of 40 half blocks each.
  const picture = out.split('\n').filter((l) => l.includes('\u2580'));
  assert.ok(picture.length >= 45, `${picture.length} picture lines`);
  assert.match(picture[0], /\x1b\[38;2;\d+;\d+;\d+m/);
  assert.match(out, /sensors, 6 rows of 8:\n(( +\d+){8}\n){6}/);
  assert.match(out, /package quadra, quadrav2: covers every tile model\n/);
  assert.match(out, /package uploaded; the tiles run it/);
  assert.match(out, /clip\.bin \(48 KB\) sent to the SD card/);

  const file = out.match(/last picture written to (.+\.png)\n/)[1];
  const png = PNG.sync.read(fs.readFileSync(file));
  assert.deepStrictEqual([png.width, png.height], [320, 240]);
  // The last mode played is video: a rainbow, so many colours.
  const colours = new Set();
  for (let i = 0; i < png.data.length; i += 4) colours.add(png.data.readUInt32BE(i));
  assert.ok(colours.size > 50, `${colours.size} colours`);
  assert.ok(Date.now() - started < 60000, 'the demo takes under a minute');
});
