'use strict';

// A "Com" against relays that misbehave: each scenario checks the codes the
// callback gets and how long the run takes against the link's documented
// bounds (3 s of silence, 10 s to connect); afterwards no descriptor or
// thread of any scenario may be left. The scenarios run side by side, so
// the suite costs about its longest bound.

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const lc = require('..');
const { VirtualRelay, encodeFrame, statusPayload } = require('../lib/relay');
const { codeRecorder, delay, eventually } = require('./support/codes');
const { quiesce, settleTo } = require('./support/resources');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { silentListener, refusingPort, stalledReader } = require('./support/peers');
const { packageFile } = require('./support/transfers');

const { describe } = require('./support/link');

const SILENCE_MS = 3000;
const CONNECT_MS = 10000;
// What a loaded machine, or a sanitizer build, may add to a bound.
const SLACK_MS = 4000;

const header = (type, length) => {
  const h = Buffer.alloc(4);
  h.writeUInt16LE(type, 0);
  h.writeUInt16LE(length, 2);
  return h;
};

// The link is still in step with the stream when it reads the version of a
// status frame sent after the fault.
async function stillInStep(relay, com) {
  const version = relay.status.version + 1;
  relay.set({ version });
  await eventually(() => com.getVersion() === version, SLACK_MS);
}

// Each: the fault, done once the link is up, and then either the link ends
// by itself (codes [0, 1], within `bound` ms and not before `notBefore`), or
// it stays in step and a stop ends it (`codes`, [0, 1] unless given: a close
// frame ends the reports, a status frame with another state adds a 2).
const linkScenarios = [
  { name: 'close mid-header', fault: (relay) => relay.closeMidHeader(), ends: true, bound: 0 },
  { name: 'close mid-payload', fault: (relay) => relay.closeMidPayload(), ends: true, bound: 0 },
  {
    name: 'a header announcing 65535 bytes, then silence',
    fault: (relay) => {
      relay.stall();
      relay.sendRaw(header(2, 65535));
    },
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'a header and half its payload, then silence',
    fault: (relay) => {
      relay.stall();
      relay.sendRaw(encodeFrame(1, Buffer.alloc(3000, 9)).subarray(0, 1504));
    },
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'the relay stops answering',
    fault: (relay) => relay.stall(),
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'the relay resets the connection',
    fault: (relay) => {
      for (const s of relay.sockets) s.resetAndDestroy();
    },
    ends: true,
    bound: 0,
  },
  {
    // Every byte comes within the bound of silence, but no frame ever completes.
    name: 'a frame trickled one byte every 2.5 s',
    fault: (relay) => {
      relay.stall();
      const bytes = encodeFrame(0, statusPayload(relay.status));
      let i = 0;
      const timer = setInterval(() => (i < bytes.length ? relay.sendRaw(bytes.subarray(i, ++i)) : clearInterval(timer)), 2500);
      relay.once('disconnect', () => clearInterval(timer));
      relay.sendRaw(bytes.subarray(0, ++i));
    },
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'unknown frame types, empty or not',
    fault: (relay) => {
      for (const type of [4, 5, 6, 7, 0x00ff, 0x0100, 0x7fff, 0xffff]) {
        relay.sendUnknown(type, Buffer.alloc(type & 0x3ff, type & 0xff));
        relay.sendUnknown(type, Buffer.alloc(0));
      }
    },
    ends: false,
  },
  {
    name: 'empty and largest status and data frames',
    fault: (relay) => {
      for (const type of [0, 1, 2]) {
        relay.sendEmpty(type);
        relay.sendLargest(type);
      }
    },
    ends: false,
    // States 0 (empty) and 0x0100 (the largest's first bytes), then 1 again.
    codes: [0, 2, 2, 2, 1],
  },
  {
    name: 'close frames',
    fault: (relay) => {
      for (let i = 0; i < 10; i++) relay.sendClose();
    },
    ends: false,
  },
  {
    name: 'status payloads of every length from 0 to 40 bytes',
    fault: (relay) => {
      for (let n = 0; n <= 40; n++) {
        const p = Buffer.alloc(n, 0);
        statusPayload(relay.status).copy(p);
        relay.sendFrame(0, p);
      }
    },
    ends: false,
    // No bytes give state 0, one byte gives the low byte of 1, then 1 on.
    codes: [0, 2, 2, 1],
  },
];

async function runLinkScenario(s) {
  const relay = new VirtualRelay({ period: 20, state: 1 });
  await relay.start();
  try {
    const com = new lc.Com();
    const r = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), r.callback), true);
    await r.until((c) => c.length === 1);
    const faulted = Date.now();
    s.fault(relay);
    if (s.ends) {
      await r.ended(s.bound + SLACK_MS);
      const took = Date.now() - faulted;
      if (s.notBefore) assert.ok(took >= s.notBefore, `${s.name}: ended after ${took} ms`);
      assert.deepStrictEqual(r.codes, [0, 1], s.name);
      assert.strictEqual(com.ready(), false, s.name);
      assert.strictEqual(com.stop(), false, s.name);
    } else {
      await stillInStep(relay, com);
      assert.strictEqual(com.ready(), true, s.name);
      assert.strictEqual(com.stop(), true, s.name);
      await r.ended(SLACK_MS);
      // Changes the script had not taken yet may come as one code 2.
      const changes = r.codes.filter((c) => c === 2).length;
      const expected = (s.codes || [0, 1]).filter((c) => c === 2).length;
      assert.ok(changes <= expected && (changes > 0) === (expected > 0), `${s.name}: ${r.codes}`);
      assert.deepStrictEqual(r.codes.filter((c) => c !== 2), [0, 1], s.name);
    }
    await relay.waitForDisconnect(SLACK_MS);
  } finally {
    await relay.stop();
  }
}

// A stream of status frames far faster than any relay sends them, the state
// changing with each: changes are reported, a run of them that the script
// has not seen yet as one, and the last state is the one read.
async function runFlood() {
  const relay = new VirtualRelay({ period: 20, state: 1 });
  await relay.start();
  try {
    const com = new lc.Com();
    const r = codeRecorder();
    com.start(describe(relay.port), r.callback);
    await r.until((c) => c.length === 1);
    // Even, so the flood ends on the periodic frames' state: no change after.
    const n = 2000;
    const frames = [];
    for (let i = 0; i < n; i++) {
      frames.push(encodeFrame(0, statusPayload({ ...relay.status, state: i % 2 === 0 ? 2 : 1 })));
    }
    relay.sendRaw(Buffer.concat(frames));
    await r.until((c) => c.length > 1, 30000);
    await stillInStep(relay, com);
    assert.strictEqual(com.getState(), 1);
    assert.ok(r.codes.slice(1).every((c) => c === 2));
    com.stop();
    await r.ended();
    assert.ok(r.codes.length >= 3 && r.codes.length <= n + 2, `${r.codes.length} codes`);
  } finally {
    await relay.stop();
  }
}

// Connects that fail: each ends with code 1 alone.
const connectScenarios = [
  {
    name: 'a refused connection',
    peer: async () => ({ port: await refusingPort(), close: async () => {} }),
    bound: 0,
  },
  {
    name: 'a connect that stays pending, stopped',
    peer: silentListener,
    stopAfter: 300,
    bound: 0,
  },
  {
    name: 'a connect that stays pending until its time-out',
    peer: silentListener,
    notBefore: CONNECT_MS - 500,
    bound: CONNECT_MS,
  },
];

async function runConnectScenario(s) {
  const peer = await s.peer();
  try {
    const com = new lc.Com();
    const r = codeRecorder();
    const started = Date.now();
    assert.strictEqual(com.start(describe(peer.port), r.callback), true);
    let from = started;
    if (s.stopAfter) {
      await delay(s.stopAfter);
      assert.deepStrictEqual(r.codes, [], `${s.name}: still connecting`);
      from = Date.now();
      assert.strictEqual(com.stop(), true);
    }
    await r.ended(s.bound + SLACK_MS);
    const took = Date.now() - from;
    if (s.notBefore) assert.ok(took >= s.notBefore, `${s.name}: ended after ${took} ms`);
    assert.deepStrictEqual(r.codes, [1], s.name);
    assert.strictEqual(com.ready(), false);
  } finally {
    await peer.close();
  }
}

test('a Com against relays that misbehave', { concurrency: true }, async (t) => {
  // A first run opens what the runtime keeps for good (pool threads, the
  // inspector's pipes); counts are taken after it.
  await runLinkScenario(linkScenarios[0]);
  const baseline = await quiesce();

  const runs = [
    ...linkScenarios.map((s) => t.test(s.name, () => runLinkScenario(s))),
    t.test('a status flood with a change in every frame', runFlood),
    ...connectScenarios.map((s) => t.test(s.name, () => runConnectScenario(s))),
  ];
  await Promise.all(runs);

  const after = await settleTo(baseline);
  assert.deepStrictEqual(after, baseline, 'descriptors and threads after every scenario');
});

// Every class with a loop on the link, each brought to where it works:
// begin(com, relay) → { progress(): resolves once it was seen working (again),
// ended(bound): resolves when its callback reported the end, stop(), calls }.
// `silence` is how long the loop outlives a silent relay (null: the loop
// does not depend on the relay and runs on until stopped).
const twoTiles = [
  { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
  { id: 1, type: 5, neighbours: [{ channel: 0, id: 0, child: 0 }, { channel: 1, id: 2, child: 1 }] },
  { id: 2, type: 5, neighbours: [{ channel: 3, id: 1, child: 0 }] },
];

function endRecorder() {
  const calls = [];
  return {
    calls,
    callback: (...args) => calls.push(args),
    ended: (bound) => eventually(() => calls.some((c) => c.includes('end')), bound),
  };
}

const loopClasses = [
  {
    name: 'Player',
    silence: 2000,
    async begin(com) {
      const player = new lc.Player(com);
      const r = endRecorder();
      player.start(0, new lc.Topology(twoTiles), 'video', true, () => r.callback('end'));
      const progress = async () => {
        const sent = player.getCounters().framesSent;
        await eventually(() => player.getCounters().framesSent > sent, SLACK_MS);
      };
      await progress();
      return { ...r, progress, stop: () => player.stop() };
    },
  },
  {
    name: 'CustomApp',
    silence: 2000,
    async begin(com, relay) {
      const app = new lc.CustomApp(com);
      const r = endRecorder();
      assert.strictEqual(app.start((u, what, bytes) => r.callback(what === 'stop' ? 'end' : what, bytes)), true);
      let n = 0;
      const progress = async () => {
        const mark = Buffer.from([0xc0, n++ & 0xff]);
        // Queued until the run's first status, and dropped if queued before.
        await eventually(() => {
          app.sendData(mark);
          return relay.received.some((f) => f.type === 3 && f.payload.equals(mark));
        }, SLACK_MS);
      };
      await progress();
      return { ...r, progress, stop: () => app.stop() };
    },
  },
  {
    name: 'ComBridge',
    silence: null,
    async begin(com, relay) {
      const bridge = new lc.ComBridge(com);
      const r = endRecorder();
      assert.strictEqual(bridge.start((u, code, port) => r.callback(code === 1 ? 'end' : port),
        { host: '127.0.0.1', port: 0 }), true);
      await eventually(() => r.calls.length > 0, SLACK_MS);
      const port = r.calls[0][0];
      // A fresh client each time: what the relay sends reaches it while the
      // link lives, and the bridge takes clients whatever became of the link.
      let client = null;
      const progress = async (linkUp = true) => {
        if (client) client.destroy();
        client = net.connect(port, '127.0.0.1');
        client.on('error', () => {});
        let bytes = 0;
        client.on('data', (d) => (bytes += d.length));
        await new Promise((resolve, reject) => client.once('connect', resolve).once('error', reject));
        if (linkUp) {
          await eventually(() => {
            relay.sendUnknown(9, [1]);
            return bytes > 0;
          }, SLACK_MS);
        }
      };
      await progress();
      return {
        ...r,
        progress,
        stop: () => {
          if (client) client.destroy();
          bridge.stop();
        },
      };
    },
  },
];

// Faults while a loop works: `linkEnds` faults take the link down.
const loopFaults = [
  { name: 'the relay stops answering', fault: (relay) => relay.stall(), linkEnds: 'silence' },
  {
    name: 'the relay resets the connection',
    fault: (relay) => {
      for (const s of relay.sockets) s.resetAndDestroy();
    },
    linkEnds: 'at once',
  },
  { name: 'close mid-payload', fault: (relay) => relay.closeMidPayload(), linkEnds: 'at once' },
  { name: 'the Com is stopped under it', fault: (relay, com) => com.stop(), linkEnds: 'at once' },
  { name: 'a status flood', fault: (relay) => relay.flood(5000) },
  {
    name: 'data of every length and unknown frames',
    fault: (relay) => {
      for (let n = 0; n < 300; n += 7) {
        const p = Buffer.alloc(n);
        for (let i = 0; i < n; i++) p[i] = (i * 29 + n) & 0xff;
        relay.sendData(p, n % 2 === 0);
        relay.sendUnknown(9 + n, p);
      }
      relay.sendLargest(1);
    },
  },
];

async function runLoopScenario(cls, f) {
  const relay = new VirtualRelay({ period: 10, state: 1 });
  await relay.start();
  const com = new lc.Com();
  let loop = null;
  try {
    const codes = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
    await codes.until((c) => c.length === 1);
    loop = await cls.begin(com, relay);
    const faulted = Date.now();
    f.fault(relay, com);
    const name = `${cls.name}, ${f.name}`;
    if (f.linkEnds && cls.silence !== null) {
      const bound = f.linkEnds === 'silence' ? cls.silence : 0;
      await loop.ended(bound + SLACK_MS);
      const took = Date.now() - faulted;
      if (f.linkEnds === 'silence') assert.ok(took >= bound - 500, `${name}: ended after ${took} ms`);
    } else {
      // A loop that outlives the link keeps working once the link is gone.
      if (f.linkEnds) await codes.ended(SILENCE_MS + SLACK_MS);
      await loop.progress(!f.linkEnds);
      assert.ok(!loop.calls.some((c) => c.includes('end')), `${name}: still running`);
      const stopped = Date.now();
      loop.stop();
      await loop.ended(SLACK_MS);
      assert.ok(Date.now() - stopped < 1000, `${name}: stop took ${Date.now() - stopped} ms`);
    }
    // One end; a stop afterwards leaves nothing for a next run.
    loop.stop();
    assert.strictEqual(loop.calls.filter((c) => c.includes('end')).length, 1, name);
    com.stop();
    await codes.ended(SILENCE_MS + SLACK_MS);
    await relay.waitForDisconnect(SLACK_MS);
  } finally {
    // A loop left running would keep the process alive after a failure.
    if (loop) loop.stop();
    com.stop();
    await relay.stop();
  }
}

for (const cls of loopClasses) {
  test(`a ${cls.name} against relays that misbehave`, { concurrency: true }, async (t) => {
    await runLoopScenario(cls, loopFaults[1]);
    const baseline = await quiesce();
    await Promise.all(loopFaults.map((f) => t.test(f.name, () => runLoopScenario(cls, f))));
    const after = await settleTo(baseline);
    assert.deepStrictEqual(after, baseline, 'descriptors and threads after every scenario');
  });
}

// Every class that writes, against a relay that sends status frames but
// stops reading. A player with large packets fills the connection (the
// player row is that writer itself); each row's work then waits on the link
// behind it. Its stop must end it within STOP_MS; without one, the write
// bound ends the link WRITE_MS after the stall, and the work with it (the
// bridge outlives the link, and must still stop at once).
const STOP_MS = 100;
const WRITE_MS = 3000;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-stalled-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
const clip = path.join(dir, 'clip.bin');
fs.writeFileSync(clip, Buffer.alloc(8192, 0x33));
const { file: appPath } = packageFile(dir, 'app', [{ tag: 'quadra', address: 0xa0000000, size: 4096 }]);

// The first call of the callback that `start` is given, with its time.
const firstCall = (start) => new Promise((resolve) => start((...args) => resolve({ args, at: performance.now() })));
const within = (promise, ms) => Promise.race([promise, delay(ms).then(() => null)]);

const onLink = (name, start) => ({ name, begin: (com) => ({ ended: firstCall((cb) => start(com, cb)), stop: () => com.stop() }) });
const writerRows = [
  { name: 'Player', begin: (com, filler) => ({ ended: filler.ended, stop: () => filler.player.stop() }) },
  {
    name: 'CustomApp',
    begin(com) {
      const app = new lc.CustomApp(com);
      return { ended: firstCall((cb) => app.start(cb)), stop: () => app.stop() };
    },
  },
  onLink('Luminosity', (com, cb) => new lc.Luminosity(com).changeTo(40, cb)),
  onLink('Changer', (com, cb) => new lc.Changer(com).changeTo(3, cb)),
  onLink('Reset', (com, cb) => new lc.Reset(com).reset(cb)),
  onLink('Topology.update', (com, cb) => new lc.Topology().update('relay', 'quadra', com, cb)),
  onLink('Loader', (com, cb) => {
    const app = new lc.LcApp();
    app.openFromFile(appPath);
    new lc.Loader(com).send(app, cb);
  }),
  onLink('SdSender', (com, cb) => new lc.SdSender(com).send(clip, cb)),
  onLink('SimLoader', (com, cb) => new lc.SimLoader(com).send(clip, cb)),
  {
    name: 'ComBridge, client to relay',
    async begin(com) {
      const bridge = new lc.ComBridge(com);
      let listening;
      const port = new Promise((r) => { listening = r; });
      const ended = firstCall((cb) => bridge.start((u, code, p) => (code === 1 ? cb(u, code) : listening(p)),
        { host: '127.0.0.1', port: 0 }));
      const client = net.connect(await port, '127.0.0.1').on('error', () => {});
      // Whole frames, more than the stalled link takes.
      client.write(Buffer.concat(Array(40).fill(encodeFrame(9, Buffer.alloc(60000, 7)))));
      return { ended, stop: () => bridge.stop(), port: await port, outlives: true, client };
    },
  },
];

async function runWriterRow(row, mode) {
  const peer = await stalledReader({ packetSize: 60000 });
  const com = new lc.Com();
  const codes = codeRecorder();
  let work = null;
  try {
    com.start(describe(peer.port), codes.callback);
    await codes.until((c) => c.length === 1);
    const linkEnded = codes.until((c) => c.includes(1), 3 * SLACK_MS).then(() => performance.now());
    const player = new lc.Player(com);
    const filler = { player, ended: firstCall((cb) => player.start(0, new lc.Topology(twoTiles), 'video', false, cb)) };
    // The stall: the player got no frame out for 400 ms.
    let sent = -1;
    let stalledAt = 0;
    await eventually(() => {
      const now = player.getCounters().framesSent;
      if (now !== sent) [sent, stalledAt] = [now, performance.now()];
      return performance.now() - stalledAt >= 400;
    }, 2 * SLACK_MS);
    work = await row.begin(com, filler);
    let from = stalledAt;
    if (mode === 'stop') {
      await delay(300); // the work reaches its send and waits there
      from = performance.now();
      work.stop();
    } else {
      const took = (await linkEnded) - stalledAt;
      assert.ok(took >= WRITE_MS - 500 && took <= WRITE_MS + SLACK_MS, `${row.name}: link ended after ${took} ms`);
      if (work.outlives) [from] = [performance.now(), work.stop()];
    }
    const end = await within(work.ended, WRITE_MS + SLACK_MS);
    assert.ok(end, `${row.name}, ${mode}: no callback`);
    assert.notStrictEqual(end.args[0], false, `${row.name}, ${mode}: reported success`);
    const took = end.at - from;
    assert.ok(took <= (from === stalledAt ? WRITE_MS + SLACK_MS : STOP_MS), `${row.name}, ${mode}: ${took} ms`);
    if (work.port) {
      // The port is free again.
      const probe = net.createServer();
      await new Promise((resolve, reject) => probe.once('error', reject).listen(work.port, '127.0.0.1', resolve));
      await new Promise((resolve) => probe.close(resolve));
    }
    com.stop();
    await codes.ended(SLACK_MS);
    await filler.ended;
    return took;
  } finally {
    if (work && work.client) work.client.destroy();
    com.stop();
    await peer.close();
  }
}

test('every writer against a relay that stops reading', { concurrency: true }, async (t) => {
  await runWriterRow(writerRows[0], 'stop');
  const baseline = await quiesce();
  const figures = [];
  await Promise.all(writerRows.flatMap((row) => ['stop', 'write bound'].map((mode) =>
    t.test(`${row.name}, ${mode}`, async () => figures.push(`${row.name}, ${mode}: ${(await runWriterRow(row, mode)).toFixed(1)} ms`)))));
  t.diagnostic(figures.join('; '));
  const after = await settleTo(baseline);
  assert.deepStrictEqual(after, baseline, 'descriptors and threads after every row');
});

// A peer in a process of its own, so that its flood of `frames` ([type,
// payload] pairs, sent over and over) does not wait for the script thread.
async function floodingPeer(frames) {
  const chunk = Buffer.concat(frames.map(([type, payload]) => encodeFrame(type, payload)));
  const source = `const big = Buffer.from(process.argv[1], 'base64').toString('hex').repeat(64);
    const bytes = Buffer.from(big, 'hex');
    const server = require('net').createServer((s) => s.on('error', () => {}).on('drain', function pump() {
      while (s.write(bytes));
    }).emit('drain')).listen(0, '127.0.0.1', () => console.log(server.address().port));`;
  const child = require('child_process').spawn(process.execPath, ['-e', source, chunk.toString('base64')]);
  const port = await new Promise((resolve) => child.stdout.once('data', (d) => resolve(Number(String(d)))));
  return { port, close: () => child.kill('SIGKILL') };
}

const status = (state) => [0, statusPayload({ state, version: 1 })];
const floods = [
  { name: 'status frames, the state changing in each', frames: [status(1), status(2)] },
  { name: 'data frames', frames: [status(1), ...Array(8).fill([1, Buffer.alloc(2048, 7)])] },
  { name: 'concast records', frames: [status(1), ...Array(8).fill([2, Buffer.alloc(256, 5)])], app: true },
];

// The script is behind (each callback holds its thread 1 ms) for 3 s.
test('floods stay bounded in memory, and a stop ends them within 100 ms', async (t) => {
  for (const f of floods) {
    await t.test(f.name, async () => {
      const peer = await floodingPeer(f.frames);
      const baseline = process.memoryUsage().rss;
      const com = new lc.Com();
      const calls = [];
      let ended = null;
      const record = (what) => {
        calls.push(what);
        for (const until = performance.now() + 1; what !== 'end' && performance.now() < until;);
        if (what === 'end') ended = performance.now();
      };
      com.start(describe(peer.port), (u, code) => !f.app && record(code === 1 ? 'end' : code));
      const app = f.app ? new lc.CustomApp(com) : null;
      if (app) await eventually(() => com.ready() && app.start((u, what) => record(what === 'stop' ? 'end' : what)), SLACK_MS);
      let peak = baseline;
      for (const began = Date.now(); Date.now() - began < 3000; await delay(50)) {
        peak = Math.max(peak, process.memoryUsage().rss);
      }
      const stopped = performance.now();
      (app || com).stop();
      await eventually(() => ended !== null, SLACK_MS);
      await delay(300);
      [com.stop(), peer.close()];
      const counters = app && app.getCounters();
      const figures = `${((peak - baseline) / 2 ** 20).toFixed(1)} MB over baseline, stop to end ${(ended - stopped).toFixed(1)} ms`;
      t.diagnostic(`${f.name}: ${figures}, ${calls.length} calls ${JSON.stringify(counters)}`);
      assert.ok(peak - baseline < 200 * 2 ** 20 && ended - stopped <= 100, figures);
      assert.strictEqual(calls.indexOf('end'), calls.length - 1, 'nothing after the end');
      if (app) assert.ok(counters.concasts > 0 && counters.concastsDropped > 0, JSON.stringify(counters));
    });
  }
});
