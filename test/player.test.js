'use strict';

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');
const { VirtualRelay, layout, ledsOfImage } = require('../lib/relay');
const { codeRecorder, eventually } = require('./support/codes');
const { MODELS } = require('../lib/models');
const { exited } = require('./support/child');

const link = (channel, id, child) => ({ channel, id, child });

// `columns` x `rows` square tiles of `type`, the relay on the top-left
// tile's channel 0, ids in breadth-first order (square channels: 0 north,
// 1 east, 2 south, 3 west).
function grid(columns, rows, type) {
  const ids = new Map([['0,0', 1]]);
  const parent = new Map([[1, 0]]);
  const queue = [[0, 0]];
  const dirs = [[0, -1, 0, 2], [1, 0, 1, 3], [0, 1, 2, 0], [-1, 0, 3, 1]];
  while (queue.length) {
    const [c, r] = queue.shift();
    for (const [dc, dr] of dirs) {
      const key = `${c + dc},${r + dr}`;
      if (c + dc < 0 || c + dc >= columns || r + dr < 0 || r + dr >= rows || ids.has(key)) continue;
      ids.set(key, ids.size + 1);
      parent.set(ids.get(key), ids.get(`${c},${r}`));
      queue.push([c + dc, r + dr]);
    }
  }
  const doc = [{ id: 0, type: 0, neighbours: [link(0, 1, 1)] }];
  for (const [key, id] of ids) {
    const [c, r] = key.split(',').map(Number);
    const neighbours = id === 1 ? [link(0, 0, 0)] : [];
    for (const [dc, dr, mine] of dirs) {
      const other = ids.get(`${c + dc},${r + dr}`);
      if (other !== undefined) neighbours.push(link(mine, other, parent.get(other) === id ? 1 : 0));
    }
    doc.push({ id, type, neighbours });
  }
  return doc;
}

// Triangles, then small and large squares, in one chain.
const mixed = [
  { id: 0, type: 0, neighbours: [link(0, 1, 1)] },
  { id: 1, type: 3, neighbours: [link(0, 0, 0), link(5, 2, 1)] },
  { id: 2, type: 3, neighbours: [link(5, 1, 0), link(1, 3, 1)] },
  { id: 3, type: 3, neighbours: [link(1, 2, 0), link(3, 4, 1)] },
  { id: 4, type: 6, neighbours: [link(0, 3, 0), link(1, 5, 1)] },
  { id: 5, type: 6, neighbours: [link(3, 4, 0), link(2, 6, 1)] },
  { id: 6, type: 4, neighbours: [link(0, 5, 0)] },
];

// Frame `n` of an animation: every channel varies, a third of them are 0.
function picture(width, height, n) {
  const image = Buffer.alloc(4 * width * height);
  for (let i = 0; i < image.length; i++) {
    const v = (i * 37 + n * 101) % 255;
    image[i] = v % 3 === 0 ? 0 : v;
  }
  return image;
}

async function withLink(run, options = {}) {
  const relay = new VirtualRelay({ period: 4, state: 1, ...options });
  const port = await relay.start();
  const com = new lc.Com();
  const codes = codeRecorder();
  assert.strictEqual(com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 't' },
    codes.callback), true);
  try {
    if (!(relay.period > 0)) {
      await relay.waitForClient();
      relay.sendStatus();
    }
    await codes.until((c) => c.includes(0));
    await run(relay, com);
  } finally {
    com.stop();
    await codes.ended();
    await relay.stop();
  }
}

// Starts a playback; resolves with the number of callback calls once it ended.
function play(player, angle, top, mode, sensors) {
  let calls = 0;
  let done;
  const ended = new Promise((resolve) => { done = resolve; });
  player.start(angle, top, mode, sensors, (...args) => {
    calls++;
    assert.deepStrictEqual(args, [undefined]);
    setTimeout(() => done(calls), 50); // a second call would land here too
  });
  return ended;
}

function matches(relay, expected) {
  for (const [id, leds] of expected) {
    const got = relay.ledsOf(id);
    for (let k = 0; k < leds.length; k++) {
      if (leds[k] === undefined) continue;
      if (!got[k] || got[k].length !== leds[k].length || got[k].some((v, i) => v !== leds[k][i])) {
        return false;
      }
    }
  }
  return true;
}

for (const [name, doc, angle] of [['30 square tiles', grid(6, 5, 5), 0],
  ['a mixed chain, turned', mixed, 270]]) {
  test(`an animation reaches ${name} pixel-exact in every mode`, async () => {
    await withLink(async (relay, com) => {
      const top = new lc.Topology(doc);
      const player = new lc.Player(com);
      const placed = layout(doc, angle);
      relay.setInstallation(doc, angle);
      for (const mode of ['video', 'rgb', 'mask']) {
        relay.setPixelMode(mode);
        const screen = player.getScreen(angle, top, mode);
        assert.strictEqual(screen.width, placed.width);
        assert.strictEqual(screen.height, placed.height);
        const ended = play(player, angle, top, mode, false);
        for (let n = 0; n < 4; n++) {
          const image = picture(screen.width, screen.height, n);
          const format = n % 2 ? 'BGR' : 'RGB';
          player.addImage(n === 3 ? new Uint8Array(image) : image, format);
          const expected = ledsOfImage(placed, image, mode, format);
          await eventually(() => matches(relay, expected), 5000);
        }
        // The crop form: the screen's rectangle of a wider, taller picture
        // shows as the same rectangle cut out by hand does, whatever stride
        // the slots before were written with.
        for (const [x, y, pad] of [[0, 0, 0], [3, 2, 5], [7, 1, 1], [3, 2, 5], [0, 0, 0], [7, 1, 1]]) {
          const width = x + screen.width + pad;
          const large = picture(width, y + screen.height + 2, x + y);
          const cut = Buffer.alloc(4 * screen.width * screen.height);
          for (let r = 0; r < screen.height; r++) {
            large.copy(cut, 4 * r * screen.width, 4 * ((y + r) * width + x), 4 * ((y + r) * width + x + screen.width));
          }
          assert.ok(player.addImage(large, 'RGB', { x, y, stride: 4 * width }) > 0);
          await eventually(() => matches(relay, ledsOfImage(placed, cut, mode)), 5000);
        }
        // Counted on the player's thread: give a slow (sanitized) build time.
        await eventually(() => {
          const counters = player.getCounters();
          return counters.framesSent > 0 && counters.statusEvents > 0;
        }, 5000);
        player.stop();
        assert.strictEqual(await ended, 1);
      }
      assert.ok(relay.pixelStats.starts >= 3);
    });
  });
}

// The JavaScript table of models against the module's own: for one tile of
// each model, the screen and sensor grid it reports and, in every mode, how
// many LED values a white picture lights within the model's slot (and none
// outside it).
test('every model row of lib/models.js is what the module plays', async () => {
  const ones = (bytes) => bytes.reduce((n, b) => n + (b.toString(2).match(/1/g) || []).length, 0);
  const nonzero = (bytes) => bytes.filter((b) => b !== 0).length;
  await withLink(async (relay, com) => {
    for (const model of MODELS.filter((m) => m.tile)) {
      const doc = [{ id: 0, type: 0, neighbours: [link(0, 1, 1)] }, { id: 1, type: model.id, neighbours: [link(0, 0, 0)] }];
      const top = new lc.Topology(doc);
      const placed = layout(doc);
      const sensors = placed.tiles.get(1).sensors;
      for (const [mode, count, lit] of [['video', nonzero, model.ledBytes], ['rgb', ones, 3], ['mask', ones, 1]]) {
        // A player of its own, so no earlier picture can be read for this one.
        const player = new lc.Player(com);
        const screen = player.getScreen(0, top, mode);
        assert.deepStrictEqual([screen.width, screen.height, screen.rows, screen.columns],
          [placed.width, placed.height, new Set(sensors.map((p) => p[1])).size, new Set(sensors.map((p) => p[0])).size],
          `${model.tag} ${mode}`);
        const ended = play(player, 0, top, mode, false);
        player.addImage(Buffer.alloc(4 * screen.width * screen.height, 255));
        await eventually(() => nonzero(player.getFrames().subarray(2)) > 0);
        // Slots go by module id: the relay's comes first, empty.
        const payload = player.getFrames().subarray(2);
        const slot = model.slots[mode];
        assert.strictEqual(count(payload.subarray(slot, 2 * slot)), model.leds * lit, `${model.tag} ${mode}`);
        assert.strictEqual(count(payload) - count(payload.subarray(slot, 2 * slot)), 0, `${model.tag} ${mode}: off its slot`);
        player.stop();
        await ended;
      }
    }
  });
});

test('frames follow the status frames: a burst of two every second status', async () => {
  await withLink(async (relay, com) => {
    const doc = grid(2, 2, 4);
    const top = new lc.Topology(doc);
    const player = new lc.Player(com);
    relay.setPeriod(0); // status frames only when the test sends them
    const ended = play(player, 0, top, 'video', false);
    const frames = () => relay.pixelStats.frames;
    // The first status after the loop began gets two bursts.
    await eventually(() => {
      if (frames() === 0) relay.sendStatus();
      return frames() > 0;
    });
    await eventually(() => frames() === 4);
    const counts = [];
    for (let i = 0; i < 8; i++) {
      const before = frames();
      const seen = player.getCounters().statusEvents;
      relay.sendStatus();
      await eventually(() => player.getCounters().statusEvents === seen + 1);
      await eventually(() => frames() >= before + (i % 2 ? 2 : 0));
      counts.push(frames() - before);
    }
    assert.deepStrictEqual(counts, [0, 2, 0, 2, 0, 2, 0, 2]);
    player.stop();
    await ended;
  }, { period: 0 });
});

test('sensor values appear at their grid cells', async () => {
  await withLink(async (relay, com) => {
    const doc = grid(6, 5, 5);
    const top = new lc.Topology(doc);
    const player = new lc.Player(com);
    const placed = layout(doc);
    relay.setInstallation(doc);
    // The grid: distinct sensor rows and columns, in ascending order.
    const xs = new Set();
    const ys = new Set();
    for (const tile of placed.tiles.values()) {
      for (const [x, y] of tile.sensors) { xs.add(x); ys.add(y); }
    }
    const columns = [...xs].sort((a, b) => a - b);
    const rows = [...ys].sort((a, b) => a - b);
    const expected = new Uint16Array(rows.length * columns.length);
    for (const [id, tile] of placed.tiles) {
      tile.sensors.forEach(([x, y], k) => {
        const value = id * 16 + k + 1;
        relay.setSensor(id, k, value);
        expected[rows.indexOf(y) * columns.length + columns.indexOf(x)] = value;
      });
    }
    const screen = player.getScreen(0, top, 'video');
    assert.deepStrictEqual([screen.rows, screen.columns], [rows.length, columns.length]);

    const ended = play(player, 0, top, 'video', true);
    const got = new Uint16Array(expected.length);
    const timer = setInterval(() => {
      relay.sendShortSensors(5);
      relay.sendSensors({ perFrame: 7, swap: [3, 4] }); // ends its frame early
      relay.sendSensors({ perFrame: 7 });
    }, 10);
    try {
      await eventually(() => {
        player.getSensors(got);
        return got.every((v, i) => v === expected[i]);
      });
    } finally {
      clearInterval(timer);
    }
    // Short and long arrays.
    const short = new Uint16Array(3);
    player.getSensors(short);
    assert.deepStrictEqual([...short], [...expected.subarray(0, 3)]);
    player.stop();
    await ended;
  });
});

test('wrong arguments and misuse give clear errors; stop while idle changes nothing', async () => {
  assert.throws(() => new lc.Player(), { name: 'TypeError', message: /Com/ });
  assert.throws(() => new lc.Player({}), TypeError);
  await withLink(async (relay, com) => {
    const top = new lc.Topology(grid(2, 1, 5));
    const player = new lc.Player(com);
    const cb = () => {};
    player.addImage(Buffer.alloc(400, 1)); // before any start: ignored
    player.stop(); // idle: leaves nothing behind
    for (const args of [[NaN, top, 'video', false, cb], [0, {}, 'video', false, cb],
      [0, top, 1, false, cb], [0, top, 'video', 'yes', cb], [0, top, 'video', false],
      []]) {
      assert.throws(() => player.start(...args), TypeError, String(args));
    }
    assert.throws(() => player.start(0, new lc.Topology([{ id: 1, type: 4, neighbours: [] }]),
      'video', false, cb), { name: 'Error', message: /module 0/ });
    assert.throws(() => player.start(0, new lc.Topology([{ id: 0, type: 0, neighbours: [] },
      { id: 2, type: 4, neighbours: [] }]), 'video', false, cb),
    { name: 'Error', message: /module 1/ });
    assert.throws(() => player.addImage('pixels'), TypeError);
    // Wider elements would be read as bytes: each is refused by its name.
    for (const image of [new Float64Array(4), new Int32Array(4), new BigInt64Array(4), new DataView(new ArrayBuffer(4))]) {
      assert.throws(() => player.addImage(image), { name: 'TypeError', message: new RegExp(`not an? ${image.constructor.name}`) });
    }
    player.addImage(new Uint8ClampedArray(8));
    player.addImage(new Uint8Array(new SharedArrayBuffer(8), 2));
    assert.throws(() => player.addImage(Buffer.alloc(4), 3), TypeError);
    assert.throws(() => player.getSensors(new Uint8Array(4)), TypeError);
    assert.throws(() => player.getSensors([0, 0]), TypeError);

    // "Mask" is not "mask": the rgb mapping (39-byte slots, one frame).
    const ended = play(player, 0, top, 'Mask', false);
    assert.throws(() => player.start(0, top, 'video', false, cb), { name: 'Error', message: /stop/ });
    // A second player on the same link would share its slots.
    assert.throws(() => new lc.Player(com).start(0, top, 'video', false, cb),
      { name: 'Error', message: /another|already/ });
    await eventually(() => player.getCounters().framesSent >= 10);
    assert.strictEqual(relay.received.find((f) => f.type === 5).payload.length, 918);
    player.addImage(Buffer.alloc(0));
    player.addImage(new Uint8Array(new ArrayBuffer(1000), 3, 5));
    // A crop rectangle reaching past the picture, or past its row, is
    // refused before anything is read; a wrong option type is a TypeError.
    const { width: w, height: h } = player.getScreen(0, top, 'Mask');
    const big = Buffer.alloc(4 * (w + 2) * (h + 1));
    assert.ok(player.addImage(big, undefined, { x: 2, y: 1, stride: 4 * (w + 2) }) > 0);
    for (const crop of [{ x: 3, y: 0, stride: 4 * (w + 2) }, { x: 0, y: 2, stride: 4 * (w + 2) },
      { x: 0, y: 0, stride: 4 * w - 1 }, { x: 0, y: 0, stride: 4 * (w + 2) * (h + 1) }, { x: -1, stride: 4 * w }]) {
      assert.throws(() => player.addImage(big, 'RGB', crop), RangeError, JSON.stringify(crop));
    }
    for (const crop of [{ x: 0, y: 0 }, { x: 0.5, stride: 4 * w }, 'crop']) {
      assert.throws(() => player.addImage(big, 'RGB', crop), TypeError, JSON.stringify(crop));
    }
    player.stop();
    assert.strictEqual(await ended, 1);
    player.stop(); // after the end: nothing queued for the next playback
    const again = play(player, 0, top, 'mask', false);
    const before = player.getCounters().statusEvents;
    await eventually(() => player.getCounters().statusEvents > before + 5);
    player.stop();
    await again;
  });
});

test('a runtime that goes away mid-playback ends it cleanly', async () => {
  const { spawn } = require('child_process');
  const { root } = require('./support/child');
  const relay = new VirtualRelay({ period: 5, state: 1 });
  const port = await relay.start();
  try {
    // Starts a playback that streams and reads sensors, then says so.
    const playing = `
      const lc = require(${JSON.stringify(root)});
      const com = new lc.Com();
      com.start({ type: 'TCPIP', ip: '127.0.0.1', port: ${port} }, (u, code) => {
        if (code !== 0) return;
        const top = new lc.Topology(${JSON.stringify(grid(3, 2, 5))});
        const player = new lc.Player(com);
        player.start(0, top, 'video', true, () => {});
        const { width, height } = player.getScreen(0, top, 'video');
        setInterval(() => player.addImage(Buffer.alloc(4 * width * height, 9)), 5);
        setTimeout(() => playingNow(player), 100);
      });`;
    const cases = [
      { name: 'worker thread terminated', code: 4,
        main: `const { Worker } = require('worker_threads');
          const w = new Worker(${JSON.stringify(`const playingNow = () =>
            require('worker_threads').parentPort.postMessage('up');\n${playing}`)}, { eval: true });
          w.on('message', async () => { await w.terminate(); process.exit(4); });` },
      { name: 'process exit', code: 5,
        main: `const playingNow = (p) => { if (p.getCounters().framesSent > 0) process.exit(5);
          setTimeout(() => playingNow(p), 20); };\n${playing}` },
    ];
    for (const c of cases) {
      const child = spawn(process.execPath, ['-e', c.main], { stdio: ['ignore', 'pipe', 'pipe'] });
      let stderr = '';
      child.stderr.on('data', (d) => (stderr += d));
      const killer = setTimeout(() => child.kill('SIGKILL'), 20000);
      const [code, signal] = await exited(child);
      clearTimeout(killer);
      assert.strictEqual(signal, null, `${c.name}: ${stderr}`);
      assert.strictEqual(code, c.code, `${c.name}: ${stderr}`);
      assert.doesNotMatch(stderr, /FATAL|Abort|Segmentation/, c.name);
    }
  } finally {
    await relay.stop();
  }
});

// A promise player on a link of withLink; resolves once the playback ended.
function paced(com, relay, doc, mode, options) {
  relay.setInstallation(doc);
  relay.setPixelMode(mode);
  const player = new lc.promises.Player(com);
  const ended = player.start(0, new lc.promises.Topology(doc), mode, true, options);
  return { player, ended, screen: player.screen };
}

test('awaited pushes arrive all of them, whole and in order; taken counts them', async () => {
  await withLink(async (relay, com) => {
    const doc = grid(3, 2, 4);
    const { player, ended, screen } = paced(com, relay, doc, 'video');
    // The first LED of every tile, per complete picture the relay received.
    const arrived = [];
    relay.on('frame', () => {
      const values = [...relay.leds.values()].map((leds) => leds[0] && leds[0][0]);
      if (values.every((v) => v === values[0]) && values[0] !== arrived[arrived.length - 1]) arrived.push(values[0]);
    });
    let events = 0;
    player.on('taken', (n) => { events = n; });
    for (let i = 1; i <= 60; i++) assert.strictEqual(await player.push(Buffer.alloc(4 * screen.width * screen.height, i)), i);
    await eventually(() => arrived.includes(60));
    assert.deepStrictEqual(arrived.filter((v) => v > 0), Array.from({ length: 60 }, (_, i) => i + 1));
    assert.strictEqual(events, 60);
    await player.stop();
    await ended;
    await assert.rejects(player.push(Buffer.alloc(4)), { code: 'ERR_LC_ENDED' });
  });
});

test('gamma and gains turn image bytes into the bytes sent', async () => {
  const image = [[0, 1, 5], [128, 128, 128], [255, 255, 255], [64, 200, 255]];
  // [mode, options, LEDs expected for the four pixels above]
  const cases = [
    ['video', {}, image],
    ['video', { gamma: 1, gains: [1, 1, 1] }, image],
    ['video', { gamma: 2.2 }, [[0, 0, 0], [56, 56, 56], [255, 255, 255], [12, 149, 255]]],
    ['video', { gains: [1, 0.9, 0.8] }, [[0, 1, 4], [128, 115, 102], [255, 230, 204], [64, 180, 204]]],
    ['video', { gamma: [1, 2, 3], gains: [2, 1, 0.5] }, [[0, 0, 0], [255, 64, 16], [255, 255, 128], [128, 157, 128]]],
    ['rgb', { gamma: 2.2 }, [[0, 0, 0], [1, 1, 1], [1, 1, 1], [1, 1, 1]]],
    ['mask', { gamma: 3 }, [[0], [1], [1], [1]]],
    ['mask', {}, [[1], [1], [1], [1]]],
  ];
  await withLink(async (relay, com) => {
    // Four square tiles in a row: pixel i under the first LED of tile i + 1.
    const doc = grid(4, 1, 4);
    const placed = layout(doc);
    for (const [mode, options, expected] of cases) {
      const { player, ended, screen } = paced(com, relay, doc, mode, options);
      const picture = Buffer.alloc(4 * screen.width * screen.height);
      for (let t = 0; t < 4; t++) {
        const [x, y] = placed.tiles.get(t + 1).leds[0];
        picture.set(image[t], 4 * (Math.trunc(x) + Math.trunc(y) * screen.width));
      }
      await player.push(picture);
      const label = `${mode} ${JSON.stringify(options)}`;
      await eventually(() => [1, 2, 3, 4].every((id) => relay.ledsOf(id)[0] !== undefined), 5000);
      await eventually(() => {
        const got = [1, 2, 3, 4].map((id) => relay.ledsOf(id)[0]);
        return JSON.stringify(got) === JSON.stringify(expected);
      }, 5000).catch(() => assert.deepStrictEqual([1, 2, 3, 4].map((id) => relay.ledsOf(id)[0]), expected, label));
      await player.stop();
      await ended;
    }
    const player = new lc.promises.Player(com);
    const top = new lc.promises.Topology(doc);
    for (const [options, error] of [[{ gamma: 0 }, RangeError], [{ gains: [1, 1, 17] }, RangeError],
      [{ gamma: NaN }, RangeError], [{ gains: [1, 1] }, TypeError], [{ gamma: '2' }, TypeError]]) {
      await assert.rejects(player.start(0, top, 'video', false, options), error, JSON.stringify(options));
    }
  });
});

test('a sensors event follows every complete sweep, with the grid', async () => {
  await withLink(async (relay, com) => {
    const doc = grid(2, 1, 5);
    const { player, ended, screen } = paced(com, relay, doc, 'video');
    await player.push(Buffer.alloc(4 * screen.width * screen.height)); // the loop listens now
    relay.setSensor(2, 3, 777);
    const sweeps = [];
    player.on('sensors', (s) => sweeps.push(s));
    relay.sendSensors({ perFrame: 1 });
    await eventually(() => sweeps.length === 1);
    relay.sendSensors({ perFrame: 2, swap: [0, 2] }); // out of order: no complete sweep
    relay.sendSensors();
    await eventually(() => sweeps.length === 2);
    const last = sweeps[1];
    assert.deepStrictEqual([last.rows, last.columns, last.sweep], [screen.rows, screen.columns, 2]);
    assert.ok(last.values.includes(777));
    await player.stop();
    await ended;
  });
});
