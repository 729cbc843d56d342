'use strict';

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');
const { startRelay } = require('../lib/relay/host');
const { sampleInstallation } = require('../lib/relay/sample');
const { eventually } = require('./support/codes');

const { width: W, height: H } = new lc.promises.Player(new lc.promises.Com())
  .getScreen(0, new lc.promises.Topology(sampleInstallation()), 'video');

// `count` virtual relays of the sample installation, side by side with a
// gap of `gap` pixels, and their show; `run(show, hosts)` then `stop`.
async function withShow(count, run, { gap = 6, delays = [], options = {} } = {}) {
  const hosts = [];
  for (let i = 0; i < count; i++) hosts.push(await startRelay({ period: 10, sensors: false }));
  const relays = hosts.map((h, i) => ({
    name: `r${i}`, host: '127.0.0.1', port: h.port, tileType: 'quadrav2', at: [i * (W + gap), 3], delayMs: delays[i] || 0,
  }));
  const show = new lc.promises.Show({ relays }, options);
  try {
    await show.start();
    await run(show, hosts);
  } finally {
    await show.stop();
    for (const h of hosts) await h.stop();
  }
}

// The first LED of every tile when they all show one value, else null.
function solid(relay) {
  const values = [...relay.leds.values()].map((leds) => leds[0] && leds[0].join());
  return values.every((v) => v !== undefined && v === values[0]) ? values[0] : null;
}

// A canvas picture of one grey level per pixel, `level(x)` by column.
function bands(show, level) {
  const { width, height } = show.canvas;
  const image = Buffer.alloc(4 * width * height);
  for (let y = 0; y < height; y++) for (let x = 0; x < width; x++) image.fill(level(x), 4 * (y * width + x), 4 * (y * width + x) + 3);
  return image;
}

test('vertical bands over the canvas show one solid colour per relay', async () => {
  await withShow(3, async (show, hosts) => {
    assert.deepStrictEqual(show.canvas, { width: 3 * W + 12, height: H, x: 0, y: 3 });
    // Band i spans relay i's screen and half of each gap beside it.
    await show.push(bands(show, (x) => 40 + 50 * Math.floor((x + 3) / (W + 6))));
    await eventually(() => hosts.every((h, i) => solid(h.relay) === [40 + 50 * i, 40 + 50 * i, 40 + 50 * i].join()), 5000);
  });
});

test('a picture sequence arrives in the same order on every relay, delays or not', async () => {
  await withShow(3, async (show, hosts) => {
    const arrived = hosts.map(() => []);
    hosts.forEach((h, i) => h.relay.on('frame', () => {
      const v = solid(h.relay);
      if (v !== null && v !== arrived[i][arrived[i].length - 1]) arrived[i].push(v);
    }));
    const picture = Buffer.alloc(4 * show.canvas.width * show.canvas.height);
    for (let n = 1; n <= 30; n++) assert.strictEqual(await show.push(picture.fill(n)), n);
    const expected = Array.from({ length: 30 }, (_, k) => [k + 1, k + 1, k + 1].join());
    await eventually(() => arrived.every((a) => a[a.length - 1] === expected[29]), 5000);
    for (const a of arrived) assert.deepStrictEqual(a.filter((v) => v !== '0,0,0'), expected);
    const c = show.getCounters();
    assert.strictEqual(c.pictures, 30);
    assert.strictEqual(c.skewMs.pictures, 30);
    assert.ok(c.skewMs.p50 >= 0 && c.skewMs.p99 >= c.skewMs.p50);
    assert.deepStrictEqual(c.relays.map((r) => [r.state, r.taken]), [['live', 30], ['live', 30], ['live', 30]]);
  }, { delays: [0, 15, 0] });
});

test('a relay that goes away leaves the others playing, is reported, and rejoins', async () => {
  await withShow(3, async (show, hosts) => {
    const left = [];
    show.on('leave', (e) => left.push(e));
    const picture = Buffer.alloc(4 * show.canvas.width * show.canvas.height);
    await show.push(picture.fill(1));
    const { port } = hosts[1];
    await hosts[1].stop();
    await eventually(() => left.length === 1, 5000);
    assert.strictEqual(left[0].name, 'r1');
    assert.match(left[0].reason, /link|pacing/);
    // No picture waits for it: each resolves at the others' pace (waiting
    // for the one gone would take its 2 s status bound per picture).
    const t0 = performance.now();
    for (let n = 2; n <= 10; n++) await show.push(picture.fill(n));
    assert.ok(performance.now() - t0 < 5000, 'pushes waited for the relay that left');
    await eventually(() => solid(hosts[0].relay) === '10,10,10' && solid(hosts[2].relay) === '10,10,10', 5000);
    let c = show.getCounters();
    assert.deepStrictEqual([c.live, c.relays[1].left], [2, 1]);
    // Gone, or trying to come back; the latest reason: the leaving one, or
    // a retry's since.
    assert.ok(['left', 'opening'].includes(c.relays[1].state), c.relays[1].state);
    assert.match(c.relays[1].reason, /link|pacing|cannot connect/);

    // Back on its port: taken into the show again, and shown what comes next.
    hosts[1] = await startRelay({ port, period: 10, sensors: false });
    await new Promise((resolve) => show.once('rejoin', resolve));
    await show.push(picture.fill(11));
    await eventually(() => hosts.every((h) => solid(h.relay) === '11,11,11'), 5000);
    c = show.getCounters();
    assert.deepStrictEqual([c.live, c.relays[1].state, c.relays[1].rejoined], [3, 'live', 1]);
  }, { options: { rejoin: true } });
});

test('a show without any relay that answers is refused with every reason', async () => {
  const show = new lc.promises.Show({ relays: [{ host: '127.0.0.1', port: 1, tileType: 'quadra', at: [0, 0] }] });
  await assert.rejects(show.start(), { code: 'ERR_LC_ENDED', message: /127\.0\.0\.1:1/ });
  await assert.rejects(show.push(Buffer.alloc(4)), { code: 'ERR_LC_ENDED' });
});
