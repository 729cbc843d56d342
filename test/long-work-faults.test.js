'use strict';

// The long exchanges (Topology.update, Loader, SimLoader, SdSender) when the
// relay stops in their middle: it falls silent (the link ends on its 3 s
// read bound, or the topology on its 2 s wait first), closes the connection,
// or the "Com" is stopped under the work. Each must call back once with its
// failure within its bound from the fault, and leave no descriptor or thread
// behind. The core checks the same with shortened bounds and the log lines
// (addon/test/LongWorkFaultsTest.cc); here the real bounds run side by side,
// so the suite costs about its longest one.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { VirtualRelay, gridInstallation } = require('../lib/relay');
const { codeRecorder, eventually } = require('./support/codes');
const { quiesce, settleTo } = require('./support/resources');
const { packageFile } = require('./support/transfers');

const { describe } = require('./support/link');

const SILENCE_MS = 3000; // the link's read bound
const TOPOLOGY_WAIT_MS = 2000; // the update's wait for any frame
// What a loaded machine, or a sanitizer build, may add to a bound.
const SLACK_MS = 4000;

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-long-work-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));

// Forty kilobytes of image: about a thousand packets, five seconds of
// stream, so the link's end always meets the upload in its middle.
const { file: packagePath } = packageFile(dir, 'app', [
  { tag: 'quadra', address: 0xa0000000, size: 40 * 1024 },
]);
const dataPath = path.join(dir, 'clip.bin');
fs.writeFileSync(dataPath, Buffer.alloc(64 * 1024, 0x5a));

// Each operation: the relay options it needs, how to start it with a
// callback, and where its middle is (`at(relay, play)` plays the fault
// there).
const afterBlocks = (n) => (relay, play) => relay.faultAfterBlocks(n, () => play());
const operations = [
  {
    name: 'Topology.update',
    relay: { installation: gridInstallation(4, 3) },
    setup: (relay) => relay.records.set({ recordsPerFrame: 1, frameInterval: 50 }),
    start: (com, callback) => new lc.Topology().update('relay', 'quadra', com, callback),
    // After the first record of the answer.
    at: (relay, play) => relay.once('records', () => play()),
    silenceMs: TOPOLOGY_WAIT_MS,
  },
  {
    name: 'Loader',
    start: (com, callback) => {
      const app = new lc.LcApp();
      assert.strictEqual(app.openFromFile(packagePath), true);
      new lc.Loader(com).send(app, callback);
    },
    at: afterBlocks(20),
    silenceMs: SILENCE_MS,
  },
  {
    name: 'SdSender',
    start: (com, callback) => new lc.SdSender(com).send(dataPath, callback),
    at: afterBlocks(20),
    silenceMs: SILENCE_MS,
  },
  {
    name: 'SimLoader',
    start: (com, callback) => new lc.SimLoader(com).send(dataPath, callback),
    at: afterBlocks(20),
    silenceMs: SILENCE_MS,
  },
];

const faults = [
  { name: 'the relay stops answering', play: (relay) => relay.silence(), silent: true },
  { name: 'the relay closes the connection', play: (relay) => relay.disconnect() },
  { name: 'the Com is stopped', play: (relay, com) => com.stop() },
];

async function runCase(op, fault) {
  const relay = new VirtualRelay({ period: 20, state: 1, ...op.relay });
  await relay.start();
  if (op.setup) op.setup(relay);
  const com = new lc.Com();
  const name = `${op.name}, ${fault.name}`;
  try {
    const codes = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
    await codes.until((c) => c.includes(0));
    let faultedAt = null;
    op.at(relay, () => {
      faultedAt = Date.now();
      fault.play(relay, com);
    });
    const calls = [];
    op.start(com, (...args) => calls.push({ args, at: Date.now() }));

    const bound = fault.silent ? op.silenceMs : 0;
    await eventually(() => calls.length > 0, SILENCE_MS + bound + SLACK_MS);
    assert.ok(faultedAt !== null, `${name}: the work ended before its middle`);
    const took = calls[0].at - faultedAt;
    // Failed, with why as the last argument when the operation said so.
    assert.strictEqual(calls[0].args[0], true, name);
    assert.ok(calls[0].args.length === 1 || typeof calls[0].args[1] === 'string', name);
    assert.ok(took <= bound + SLACK_MS, `${name}: ended ${took} ms after the fault`);
    if (fault.silent) assert.ok(took >= bound - 500, `${name}: ended ${took} ms after the fault`);
    // The link ends too, by itself or by the stop: one end, nothing after.
    await codes.ended(SILENCE_MS + SLACK_MS);
    com.stop();
    await relay.waitForDisconnect(SLACK_MS);
    assert.strictEqual(calls.length, 1, `${name}: one completion`);
    return { calls, took };
  } finally {
    com.stop();
    await relay.stop();
  }
}

test('long work against a relay that stops in its middle', { concurrency: true }, async (t) => {
  // A first run opens what the runtime keeps for good (pool threads, the
  // inspector's pipes); counts are taken after it.
  await runCase(operations[2], faults[1]);
  const baseline = await quiesce();

  const all = [];
  for (const op of operations) {
    for (const fault of faults) {
      all.push(t.test(`${op.name}, ${fault.name}`, async (st) => {
        const { calls, took } = await runCase(op, fault);
        st.diagnostic(`failed ${took} ms after the fault`);
        // No late second completion.
        await new Promise((r) => setTimeout(r, 200));
        assert.strictEqual(calls.length, 1);
      }));
    }
  }
  await Promise.all(all);

  const after = await settleTo(baseline);
  assert.deepStrictEqual(after, baseline, 'descriptors and threads after every case');
});
