'use strict';

// Work that waits on the relay runs on the module's own threads: the
// runtime's shared pool stays free, and worker threads that go away with
// live links end cleanly.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const crypto = require('crypto');
const { spawn } = require('child_process');
const lc = require('..');
const { VirtualRelay } = require('../lib/relay');
const { codeRecorder } = require('./support/codes');
const { root, exited } = require('./support/child');

const { describe } = require('./support/link');

async function withRelay(t, options) {
  const relay = new VirtualRelay({ period: 20, ...options });
  await relay.start();
  t.after(() => relay.stop());
  return relay;
}

// Milliseconds until the pool has run one job of each kind.
async function poolLatency() {
  const started = process.hrtime.bigint();
  await Promise.all([
    fs.promises.readFile(__filename),
    new Promise((resolve, reject) =>
      crypto.pbkdf2('secret', 'salt', 1, 32, 'sha256', (e) => (e ? reject(e) : resolve()))),
  ]);
  return Number(process.hrtime.bigint() - started) / 1e6;
}

test('eight live links leave the runtime pool free', async (t) => {
  const relay = await withRelay(t);
  // A starved pool never runs the jobs while the links live; a loaded
  // machine only slows them, so the bound follows what they cost here.
  const idle = await poolLatency();
  const links = [];
  for (let i = 0; i < 8; i++) {
    const com = new lc.Com();
    const r = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), r.callback), true);
    links.push({ com, r });
  }
  await Promise.all(links.map(({ r }) => r.until((c) => c.length === 1)));
  const ms = await poolLatency();
  assert.ok(ms < Math.max(100, 3 * idle), `pool jobs took ${ms.toFixed(1)} ms (${idle.toFixed(1)} idle)`);
  for (const { com } of links) com.stop();
  await Promise.all(links.map(({ r }) => r.ended()));
  for (const { r } of links) assert.deepStrictEqual(r.codes, [0, 1]);
});

test('stop while a start is pending cancels it: no code 0, code 1 at once', async (t) => {
  const relay = await withRelay(t, { period: 5 });
  for (let i = 0; i < 20; i++) {
    const com = new lc.Com();
    const r = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), r.callback), true);
    assert.strictEqual(com.stop(), true);
    const started = Date.now();
    await r.ended(2000);
    assert.ok(Date.now() - started < 500);
    // The start was cancelled before it connected, or the link it made was
    // stopped right away: never a first status.
    assert.deepStrictEqual(r.codes, [1]);
    assert.strictEqual(com.ready(), false);
  }
});

// A child process runs `main` with a worker thread that runs `inWorker`;
// both see `lc`, `relayPort` and `start(cb)` (a "Com" started on the relay).
async function runWithWorker(t, main, inWorker) {
  const relay = await withRelay(t, { period: 10 });
  const prelude = `
    const lc = require(${JSON.stringify(root)});
    const relayPort = ${relay.port};
    const start = (cb) => { const com = new lc.Com();
      com.start({ type: 'TCPIP', ip: '127.0.0.1', port: relayPort }, cb); return com; };
  `;
  const workerSource = `${prelude}\n${inWorker}`;
  const mainSource = `${prelude}
    const { Worker } = require('worker_threads');
    const worker = new Worker(${JSON.stringify(workerSource)}, { eval: true });
    ${main}
  `;
  const child = spawn(process.execPath, ['-e', mainSource], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => (stdout += d));
  child.stderr.on('data', (d) => (stderr += d));
  const killer = setTimeout(() => child.kill('SIGKILL'), 40000);
  const [code, signal] = await exited(child);
  clearTimeout(killer);
  return { code, signal, stdout, stderr };
}

test('worker threads that go away with live or starting links', async (t) => {
  const cases = [
    {
      name: 'terminated with a live link',
      inWorker: `start((u, c) => { if (c === 0) require('worker_threads').parentPort.postMessage('up'); });`,
      main: `worker.on('message', async () => { const code = await worker.terminate();
               console.log('terminated', code); process.exitCode = 4; });`,
      code: 4,
      out: /terminated 1/,
    },
    {
      name: 'terminated while its link is starting',
      inWorker: `start(() => {}); require('worker_threads').parentPort.postMessage('started');`,
      main: `worker.on('message', async () => { await worker.terminate(); process.exitCode = 5; });`,
      code: 5,
    },
    {
      name: 'process.exit inside the worker',
      inWorker: `start((u, c) => { if (c === 0) process.exit(6); });`,
      main: `worker.on('exit', (code) => { console.log('worker exit', code); process.exitCode = 7; });`,
      code: 7,
      out: /worker exit 6/,
    },
    {
      name: 'process.exit of the main thread while the worker has a live link',
      inWorker: `start((u, c) => { if (c === 0) require('worker_threads').parentPort.postMessage('up'); });`,
      main: `worker.on('message', () => process.exit(8));`,
      code: 8,
    },
    {
      name: 'a worker whose links were left running ends when it is done',
      inWorker: `const com = start((u, c) => { if (c === 0) com.stop(); });`,
      main: `worker.on('exit', (code) => { process.exitCode = 9 + code; });`,
      code: 9,
    },
  ];
  for (const c of cases) {
    const started = Date.now();
    const r = await runWithWorker(t, c.main, c.inWorker);
    assert.strictEqual(r.signal, null, `${c.name}: ${r.stderr}`);
    assert.strictEqual(r.code, c.code, `${c.name}: ${r.stderr}`);
    if (c.out) assert.match(r.stdout, c.out, c.name);
    assert.doesNotMatch(r.stderr, /FATAL|Abort/, c.name);
    // Far below the 10 s connect a lost cancel would wait out, on a loaded machine too.
    assert.ok(Date.now() - started < 25000, `${c.name}: took ${Date.now() - started} ms`);
  }
});
