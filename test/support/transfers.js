'use strict';

// Helpers of the upload and file-transfer tests: a started link to a virtual
// relay, packages built from objcopy output, and a callback that resolves.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const lc = require('../..');

const { describe, linked } = require('./link');

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-transfer-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}


// Random bytes at `address`, through objcopy into Intel HEX lines.
function hexLines(dir, name, address, size) {
  const bin = path.join(dir, `${name}.bin`);
  const hex = path.join(dir, `${name}.hex`);
  const bytes = Buffer.from(Array.from({ length: size }, (_, i) => (i * 37 + size) & 0xff));
  fs.writeFileSync(bin, bytes);
  execFileSync('objcopy', ['-I', 'binary', '-O', 'ihex', '--change-addresses',
    `0x${address.toString(16)}`, bin, hex]);
  return fs.readFileSync(hex, 'utf8').split('\n').filter((l) => l.length > 0);
}

// A package file holding one image per { tag, address, size }; returns its
// path and its parsed document.
function packageFile(dir, name, images) {
  const doc = images.map((img) => ({ name: img.tag, hex: hexLines(dir, `${name}-${img.tag}`,
    img.address, img.size) }));
  const file = path.join(dir, `${name}.json`);
  fs.writeFileSync(file, JSON.stringify(doc));
  return { file, doc };
}

// A completion callback as a promise of its one argument, with the time.
function completion() {
  let resolve;
  const done = new Promise((r) => { resolve = r; });
  return {
    done,
    callback: (...args) => resolve({ args, at: performance.now() }),
  };
}

// A progress function that records every (sent, total) and its time.
function progressRecorder() {
  const calls = [];
  return { calls, fn: (sent, total) => calls.push({ sent, total }) };
}

// Progress reached the script in order, thinned, and ended at the last
// count. The calls begin at least 100 ms apart, all between the send and the
// completion; the times taken inside the callbacks can bunch on a loaded
// machine, so the count is what is checked.
function checkProgress(assert, calls, total, sentAt, completedAt) {
  assert.ok(calls.length >= 1);
  for (let i = 1; i < calls.length; i++) assert.ok(calls[i].sent > calls[i - 1].sent, 'counts grow');
  const most = Math.floor((completedAt - sentAt) / 100) + 1;
  assert.ok(calls.length <= most, `${calls.length} calls in ${completedAt - sentAt} ms`);
  assert.ok(calls.every((c) => c.total === total));
  assert.strictEqual(calls[calls.length - 1].sent, total);
}

module.exports = { describe, tempDir, linked, packageFile, completion, progressRecorder,
  checkProgress };
