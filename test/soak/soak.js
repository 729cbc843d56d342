'use strict';

// Long runs at a relay's full status rate, for `make soak`: the links stay up
// and resident memory, descriptors and threads must stay flat for the whole
// run. SOAK_SECONDS sets the length (an hour unless given), SOAK_RATE the
// status frames per second, SOAK_FLOOD_RATE the custom-application data
// frames per second of the flood.

const assert = require('node:assert');
const lc = require('../..');
const { VirtualRelay, FrameType, encodeFrame } = require('../../lib/relay');
const { fork } = require('node:child_process');
const { monitorEventLoopDelay } = require('node:perf_hooks');
const { delay } = require('../support/codes');
const { counts, quiesce, rss } = require('../support/resources');

const SECONDS = Number(process.env.SOAK_SECONDS || 3600);
const RATE = Number(process.env.SOAK_RATE || 100);
const FLOOD_RATE = Number(process.env.SOAK_FLOOD_RATE || 20000);
const describe = (port) => ({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'soak' });
const mib = (b) => (b / 1048576).toFixed(1);

// A link's codes, counted rather than kept: a state change in every status
// frame would otherwise grow a list by the rate for the whole run.
function linkCodes() {
  const seen = [0, 0, 0];
  const waiters = [];
  return {
    seen,
    callback(_, code) {
      seen[code] = (seen[code] || 0) + 1;
      for (const w of waiters.splice(0)) if (!w(code)) waiters.push(w);
    },
    reached(code, timeoutMs = 10000) {
      if (seen[code]) return Promise.resolve();
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`no code ${code} in ${timeoutMs} ms`)), timeoutMs);
        waiters.push((c) => c === code && (clearTimeout(timer), resolve(), true));
      });
    },
  };
}

// The flood's relay, run as `soak.js flood` in a process of its own: writing
// the flood from the script's thread would starve the other relay's status
// frames. It sends the data frames the relay's custom application sends,
// batched per status period, holds back while the module does not read, and
// answers each message from the soak with the count sent so far.
async function floodRelay() {
  const relay = new VirtualRelay({ period: 1000 / RATE, state: 1 });
  await relay.start();
  const frame = encodeFrame(FrameType.DATA_ONE, Buffer.alloc(256, 0x5a));
  const most = Math.ceil(FLOOD_RATE / 10);
  const batch = Buffer.concat(new Array(most).fill(frame));
  let state = 1;
  let sent = 0;
  let owed = 0;
  let last = Date.now();
  setInterval(() => {
    relay.setState((state = 3 - state));
    relay.received.length = 0;
    const now = Date.now();
    owed = Math.min(most, owed + ((now - last) * FLOOD_RATE) / 1000);
    last = now;
    if ([...relay.sockets].some((s) => s.writableLength > 1 << 20)) return;
    const n = Math.floor(owed);
    if (n === 0) return;
    relay.sendRaw(batch.subarray(0, n * frame.length));
    sent += n * relay.sockets.size;
    owed -= n;
  }, 1000 / RATE);
  process.on('message', () => process.send({ sent }));
  process.on('disconnect', () => process.exit(0));
  process.send({ port: relay.port });
}

// Each subject starts its work on a relay and returns stop(), awaited to the
// work's end, and check(), which throws when the work is no longer running
// and otherwise tells what it did so far.
const subjects = [
  {
    name: 'Com',
    async start(relay) {
      const com = new lc.Com();
      const r = linkCodes();
      assert.strictEqual(com.start(describe(relay.port), r.callback), true);
      await r.reached(0);
      return {
        check() {
          assert.ok(com.ready(), 'the link ended');
          assert.ok(!r.seen[1], 'the run ended');
          return `codes ${r.seen.join('/')}`;
        },
        async stop() {
          com.stop();
          await r.reached(1);
        },
      };
    },
  },
  {
    name: 'Player',
    async start(relay) {
      const com = new lc.Com();
      const r = linkCodes();
      assert.strictEqual(com.start(describe(relay.port), r.callback), true);
      await r.reached(0);
      const player = new lc.Player(com);
      const top = new lc.Topology([
        { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
        { id: 1, type: 5, neighbours: [{ channel: 0, id: 0, child: 0 }, { channel: 1, id: 2, child: 1 }] },
        { id: 2, type: 5, neighbours: [{ channel: 3, id: 1, child: 0 }] },
      ]);
      // When and how a playback ended, for the report: the link's codes and
      // readiness tell a relay that closed from one that fell silent.
      let ended = null;
      player.start(0, top, 'video', true, () => {
        ended = { at: new Date().toISOString(), ready: com.ready(), codes: r.seen.slice(),
          counters: player.getCounters() };
      });
      // A new picture every 40 ms, as a video would bring them.
      let n = 0;
      const image = Buffer.alloc(64 * 64 * 4);
      const feeder = setInterval(() => {
        player.addImage(image.fill(n++ & 0xff));
        // The relay records every frame it gets: not ours to measure.
        relay.received.length = 0;
      }, 40);
      let sent = 0;
      return {
        check() {
          assert.ok(!ended, `the playback ended: ${JSON.stringify(ended)}`);
          const now = player.getCounters().framesSent;
          assert.ok(now > sent, 'no frames sent since the last check');
          sent = now;
          return `codes ${r.seen.join('/')}, frames ${now}`;
        },
        async stop() {
          clearInterval(feeder);
          player.stop();
          com.stop();
          await r.reached(1);
        },
      };
    },
  },
  {
    name: 'CustomApp',
    async start() {
      const flood = fork(__filename, ['flood']);
      const ask = () => new Promise((resolve) => flood.once('message', resolve).send('count'));
      const { port } = await new Promise((resolve) => flood.once('message', resolve));
      const com = new lc.Com();
      const r = linkCodes();
      assert.strictEqual(com.start(describe(port), r.callback), true);
      await r.reached(0);
      const app = new lc.CustomApp(com);
      let ended = null;
      let stopped;
      const done = new Promise((resolve) => (stopped = resolve));
      assert.strictEqual(app.start((_, kind) => {
        if (kind !== 'stop') return;
        ended = ended || { at: new Date().toISOString(), ready: com.ready(), codes: r.seen.slice() };
        stopped();
      }), true);
      let delivered = 0;
      return {
        async check() {
          assert.ok(!ended, `the run ended: ${JSON.stringify(ended)}`);
          assert.ok(flood.connected, 'the flood relay ended');
          const { concasts, concastsDropped } = app.getCounters();
          assert.ok(concasts > delivered, 'no data delivered since the last check');
          delivered = concasts;
          return `codes ${r.seen.join('/')}, flood ${(await ask()).sent}, ` +
            `delivered ${concasts}, dropped ${concastsDropped}`;
        },
        async stop() {
          app.stop();
          await done;
          com.stop();
          await r.reached(1);
          await new Promise((resolve) => flood.once('exit', resolve).kill());
        },
      };
    },
  },
];

(process.argv[2] === 'flood' ? floodRelay() : (async () => {
  const relay = new VirtualRelay({ period: 1000 / RATE, state: 1 });
  await relay.start();
  const running = [];
  for (const s of subjects) running.push({ name: s.name, ...(await s.start(relay)) });
  await delay(5000);
  const before = await quiesce();
  const samples = [await rss()];
  console.log(`soak: ${running.map((r) => r.name).join(', ')} at ${RATE} status/s, ` +
    `a flood of ${FLOOD_RATE} data frames/s, for ${SECONDS} s`);
  const started = Date.now();
  // Every status frame also changes the state, so each one reaches the
  // script side as a report.
  let state = 1;
  // The relay runs on this thread too: a stalled event loop starves the
  // links of status frames, so each line says how long the longest stall was.
  const lag = monitorEventLoopDelay({ resolution: 10 });
  lag.enable();
  const flip = setInterval(() => relay.setState((state = 3 - state)), 1000 / RATE);
  while (Date.now() - started < SECONDS * 1000) {
    await delay(Math.min(60000, SECONDS * 1000));
    const did = [];
    for (const r of running) did.push(`${r.name} ${await r.check()}`);
    samples.push(await rss());
    const now = counts();
    const { heapTotal, external } = process.memoryUsage();
    console.log(`${Math.round((Date.now() - started) / 1000)} s: rss ${mib(samples[samples.length - 1])} MiB ` +
      `(script heap ${mib(heapTotal)}, external ${mib(external)}), fds ${now.fds}, threads ${now.threads}, ` +
      `longest loop stall ${(lag.max / 1e6).toFixed(0)} ms; ${did.join('; ')}`);
    lag.reset();
    assert.deepStrictEqual(now, before, 'descriptors and threads');
  }
  clearInterval(flip);
  for (const r of running) await r.stop();
  await relay.stop();
  // Flat: the end is within 8 MiB of the highest of the first minutes.
  const early = Math.max(...samples.slice(0, 3));
  const late = Math.min(...samples.slice(-3));
  console.log(`rss MiB ${samples.map(mib).join(' ')}`);
  assert.ok(late - early < 8 * 1048576, `grew by ${mib(late - early)} MiB`);
  console.log('soak: flat');
})()).catch((e) => {
  console.error(e);
  process.exit(1);
});
