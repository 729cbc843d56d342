'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { runChild } = require('./support/child');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-lcapp-'));
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));

function writePackage(name, value) {
  const file = path.join(dir, name);
  fs.writeFileSync(file, typeof value === 'string' ? value : JSON.stringify(value));
  return file;
}

const image = [':02000004a0005a', ':02040000abcd82', ':00000001FF'];

test('a package opens once; its types are then present', () => {
  const file = writePackage('ok.json', [
    { name: 'delta', hex: image },
    { name: 'relay', hex: image },
  ]);
  const app = new lc.LcApp();
  assert.strictEqual(app.openFromFile(file), true);
  assert.strictEqual(app.openFromFile(file), false);
  // A NUL would cut the name short and open the file above.
  assert.strictEqual(new lc.LcApp().openFromFile(`${file}\u0000.other`), false);
});

test('bad packages give false and leave the process running', () => {
  const cases = {
    'object.json': { name: 'delta', hex: image },
    'empty.json': [],
    'null.json': 'null\n',
    'notjson.json': '[{"name": "delta", "hex": [',
    'garbage.json': '\u0000\u00ff\u0001',
    'emptyhex.json': [{ name: 'delta', hex: [] }],
    'number.json': [{ name: 'delta', hex: [1] }],
    'tag.json': [{ name: 'Relay', hex: image }],
    'checksum.json': [{ name: 'delta', hex: [':02040000abcd83'] }],
    'twice.json': [{ name: 'varna', hex: image }, { name: 'varna', hex: image }],
  };
  for (const [name, value] of Object.entries(cases)) {
    assert.strictEqual(new lc.LcApp().openFromFile(writePackage(name, value)), false, name);
  }
  assert.strictEqual(new lc.LcApp().openFromFile(path.join(dir, 'absent.json')), false);
});

test('what is not a regular file is refused at once', () => {
  const fifo = path.join(dir, 'package.fifo');
  require('child_process').execFileSync('mkfifo', [fifo]);
  // In a child: a read that blocks on the pipe would otherwise hang the runner.
  const r = runChild(
    `console.log([${JSON.stringify(fifo)}, ${JSON.stringify(dir)}, '/dev/null']
       .map((p) => new lc.LcApp().openFromFile(p)).join(','));`,
    { timeout: 10000 },
  );
  assert.strictEqual(r.signal, null, 'opening a named pipe blocked');
  assert.strictEqual(r.stdout.trim(), 'false,false,false');
});

test('an image holding only an end-of-file record is accepted', () => {
  const file = writePackage('eof.json', [{ name: 'quadra', hex: [':00000001FF'] }]);
  assert.strictEqual(new lc.LcApp().openFromFile(file), true);
});

test('a path that is not a string raises a TypeError', () => {
  const app = new lc.LcApp();
  for (const bad of [undefined, 42, {}, null]) {
    assert.throws(() => app.openFromFile(bad), TypeError);
  }
  assert.throws(() => app.openFromFile(), TypeError);
});

test('constructor arguments are ignored', () => {
  assert.ok(new lc.LcApp('x', 1) instanceof lc.LcApp);
});

test('many packages opened and dropped are collected without a crash', () => {
  const file = writePackage('gc.json', [{ name: 'varna', hex: image }]);
  const r = runChild(`
    require('v8').setFlagsFromString('--expose-gc');
    const gc = require('vm').runInNewContext('gc');
    for (let i = 0; i < 2000; ++i) new lc.LcApp().openFromFile(${JSON.stringify(file)});
    gc();
    const kept = new lc.LcApp();
    gc();
    console.log(kept.openFromFile(${JSON.stringify(file)}) ? 'done' : 'refused');
  `);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /done/);
});
