'use strict';

// Many start/stop cycles of every class that runs a loop on the relay: the
// descriptor and thread counts must come back to where they were, and
// resident memory must stay flat (a lost buffer, thread or driver per cycle
// would show as steady growth).

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const lc = require('..');
const { VirtualRelay } = require('../lib/relay');
const { codeRecorder, eventually } = require('./support/codes');
const { counts, quiesce, settleTo, rss, underAsan } = require('./support/resources');

const { describe } = require('./support/link');

const CYCLES = 1000;
const WARMUP = 100;
// Resident memory is sampled every SAMPLE cycles; it wanders by a few MiB
// as the allocator's arenas fill and empty, so the lowest of the last three
// samples is compared with the highest of the first three. A lost receive
// buffer or thread stack per cycle would add tens of MiB.
const SAMPLE = 100;
const GROWTH_BYTES = 8 * 1024 * 1024;

// Each: make(relay) → { cycle(): one start and stop, awaited to its end;
// close(): stops whatever runs }.
const loops = [
  {
    name: 'Com',
    make(relay) {
      const com = new lc.Com();
      return {
        // Leaves nothing running when a cycle failed.
        close() {
          com.stop();
        },
        async cycle() {
          const r = codeRecorder();
          assert.strictEqual(com.start(describe(relay.port), r.callback), true);
          await r.until((c) => c.length === 1);
          assert.strictEqual(com.stop(), true);
          await r.ended();
          assert.deepStrictEqual(r.codes, [0, 1]);
          await relay.waitForDisconnect();
        },
      };
    },
  },
  {
    name: 'Player',
    make(relay) {
      const com = new lc.Com();
      const codes = codeRecorder();
      let player;
      const top = new lc.Topology([
        { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
        { id: 1, type: 5, neighbours: [{ channel: 0, id: 0, child: 0 }] },
      ]);
      const image = Buffer.alloc(4096, 0x55);
      return {
        // Leaves nothing running when a cycle failed.
        close() {
          if (player) player.stop();
          com.stop();
        },
        async cycle() {
          if (!player) {
            assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
            await codes.until((c) => c.length === 1);
            player = new lc.Player(com);
          }
          const calls = codeRecorder();
          player.start(0, top, 'video', true, () => calls.callback(undefined, 'end'));
          player.addImage(image);
          await eventually(() => player.getCounters().framesSent > 0);
          player.stop();
          await calls.until((c) => c.length === 1);
          assert.deepStrictEqual(codes.codes, [0]);
          // The relay records every frame it gets: not ours to measure.
          relay.received.length = 0;
        },
      };
    },
  },
  {
    name: 'CustomApp',
    make(relay) {
      const com = new lc.Com();
      const codes = codeRecorder();
      let app;
      return {
        // Leaves nothing running when a cycle failed.
        close() {
          if (app) app.stop();
          com.stop();
        },
        async cycle() {
          if (!app) {
            assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
            await codes.until((c) => c.length === 1);
            app = new lc.CustomApp(com);
          }
          const calls = [];
          assert.strictEqual(app.start((u, what) => calls.push(what)), true);
          // The run's start frame went out: it heard a status.
          await eventually(() => relay.received.some((f) => f.type === 2));
          app.stop();
          await eventually(() => calls.includes('stop'));
          relay.received.length = 0;
          assert.deepStrictEqual(codes.codes, [0]);
        },
      };
    },
  },
  {
    name: 'ComBridge',
    make(relay) {
      const com = new lc.Com();
      const codes = codeRecorder();
      let bridge;
      return {
        // Leaves nothing running when a cycle failed.
        close() {
          if (bridge) bridge.stop();
          com.stop();
        },
        async cycle() {
          if (!bridge) {
            assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
            await codes.until((c) => c.length === 1);
            bridge = new lc.ComBridge(com);
          }
          const calls = [];
          assert.strictEqual(bridge.start((...a) => calls.push(a), { host: '127.0.0.1', port: 0 }),
            true);
          await eventually(() => calls.length > 0);
          // A client taken and served, then the stop with it connected.
          const client = net.connect(calls[0][2], '127.0.0.1');
          client.on('error', () => {});
          const closed = new Promise((resolve) => client.once('close', resolve));
          let bytes = 0;
          client.on('data', (d) => (bytes += d.length));
          await eventually(() => bytes > 0);
          bridge.stop();
          await eventually(() => calls.some((c) => c[1] === 1));
          client.destroy();
          await closed;
          assert.deepStrictEqual(codes.codes, [0]);
        },
      };
    },
  },
];

for (const loop of loops) {
  test(`${CYCLES} start/stop cycles of ${loop.name} leave nothing behind`, async (t) => {
    const relay = new VirtualRelay({ period: 5, state: 1 });
    await relay.start();
    t.after(() => relay.stop());
    const subject = loop.make(relay);
    t.after(() => subject.close());

    for (let i = 0; i < WARMUP; i++) await subject.cycle();
    const before = await quiesce();
    const samples = [];
    for (let i = WARMUP; i < CYCLES; i++) {
      if ((i - WARMUP) % SAMPLE === 0) samples.push(await rss());
      await subject.cycle();
    }
    const after = await settleTo(before);
    samples.push(await rss());

    const mib = (b) => (b / 1048576).toFixed(1);
    const grown = Math.min(...samples.slice(-3)) - Math.max(...samples.slice(0, 3));
    t.diagnostic(`${loop.name}: fds ${before.fds}→${after.fds}, threads ` +
      `${before.threads}→${after.threads}, rss MiB ${samples.map(mib).join(' ')} ` +
      `over ${CYCLES - WARMUP} cycles`);
    assert.deepStrictEqual(after, before);
    // The sanitizer's allocator holds freed memory back on purpose; its own
    // checks cover memory there.
    if (!underAsan) assert.ok(grown < GROWTH_BYTES, `grew by ${grown} bytes`);
  });
}

test('the counts above can see one leaked link', async (t) => {
  // A live link holds its driver's descriptors: the measure must notice a
  // single one. Once stopped, the Com gives them back at once, with no
  // collection to help (the Com is still referenced).
  const relay = new VirtualRelay({ period: 5 });
  await relay.start();
  t.after(() => relay.stop());
  const before = await quiesce();
  const com = new lc.Com();
  const r = codeRecorder();
  com.start(describe(relay.port), r.callback);
  await r.until((c) => c.length === 1);
  assert.ok(counts().fds > before.fds);
  com.stop();
  await r.ended();
  await relay.waitForDisconnect();
  await eventually(() => counts().fds === before.fds, 2000).catch(() => {});
  assert.strictEqual(counts().fds, before.fds);
  assert.strictEqual(com.ready(), false);
});
