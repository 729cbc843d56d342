'use strict';
// The Player's cost on the script thread, side by side with its limits in
// one run: getScreen and start at 1000 and 5000 square tiles beside the
// 2 ms a UI can spare, the time from start to the first pixel frame, rgb,
// mask and video addImage beside a copy of the same input image (the aim
// is for the one-bit modes), and the memory
// a started Player holds beyond its frame buffers (measured in a child
// process of its own, so that nothing else of this run counts).
//
//   make addon && node bench/compare_player.js

const path = require('node:path');
const os = require('node:os');
const { fork } = require('node:child_process');
const lc = require(path.join(__dirname, '..'));
const { VirtualRelay } = require('../lib/relay');

const { installation } = require('./support/installation');

const now = () => Number(process.hrtime.bigint()) / 1e6;
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor((v.length - 1) / 2)];

async function connect(port) {
  const com = new lc.Com();
  await new Promise((resolve, reject) => {
    com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'bench' }, (err, code) => {
      if (err) reject(err);
      else if (code === 0) resolve();
    });
  });
  return com;
}

// Median of `runs` calls of fn, in milliseconds.
async function timed(runs, fn) {
  const all = [];
  for (let i = 0; i < runs; i++) {
    const t0 = now();
    await fn();
    all.push(now() - t0);
  }
  return median(all);
}

// One playback: the script thread's time inside start, and the time from
// start to the relay's first pixel frame of it.
async function startOnce(relay, player, top, mode) {
  let ended;
  const done = new Promise((resolve) => { ended = resolve; });
  const first = new Promise((resolve) => {
    const onFrame = (frame) => {
      if (frame.type === 0) {
        relay.off('frame', onFrame);
        resolve(now());
      }
    };
    relay.on('frame', onFrame);
  });
  const t0 = now();
  player.start(0, top, mode, false, () => ended());
  const inStart = now() - t0;
  const toFirst = (await first) - t0;
  player.stop();
  await done;
  return { inStart, toFirst };
}

async function main() {
  const relay = new VirtualRelay({ period: 5, state: 1 });
  const port = await relay.start();
  // The relay keeps every frame it receives; this run needs none of them.
  relay.on('frame', () => { relay.received.length = 0; });
  const com = await connect(port);
  lc.Log.setMode('simple');
  const rows = [];

  // Square tiles (type 4), and tiles with four sensors each (type 5).
  for (const [tiles, type] of [[1000, 4], [5000, 4], [1000, 5], [5000, 5]]) {
    const top = new lc.Topology(installation(tiles, type));
    const player = new lc.Player(com);
    player.getScreen(0, top, 'rgb');
    const screen = await timed(9, () => player.getScreen(0, top, 'rgb'));
    rows.push({ what: `getScreen, ${tiles} tiles of type ${type}`, ms: screen.toFixed(3), limit: '2 ms',
      ratio: (screen / 2).toFixed(2) });
    const starts = [];
    for (let i = 0; i < 7; i++) starts.push(await startOnce(relay, player, top, 'rgb'));
    const inStart = median(starts.map((s) => s.inStart));
    const toFirst = median(starts.map((s) => s.toFirst));
    rows.push({ what: `start (script thread), ${tiles} tiles of type ${type}`, ms: inStart.toFixed(3),
      limit: '2 ms', ratio: (inStart / 2).toFixed(2) });
    rows.push({ what: `start to first pixel frame, ${tiles} tiles of type ${type}`, ms: toFirst.toFixed(3) });
  }

  // addImage at 1000 tiles against a copy of its own input.
  const top = new lc.Topology(installation(1000));
  for (const mode of ['rgb', 'mask', 'video']) {
    const player = new lc.Player(com);
    const { width, height } = player.getScreen(0, top, mode);
    let ended;
    const done = new Promise((resolve) => { ended = resolve; });
    player.start(0, top, mode, false, () => ended());
    const images = [0, 1].map((n) => {
      const image = Buffer.alloc(4 * width * height);
      for (let i = 0; i < image.length; i++) image[i] = (i * 31 + n * 7) % 256 < 128 ? 0 : i & 255;
      return image;
    });
    const target = Buffer.alloc(images[0].length);
    // Per call, in microseconds: the median of batches, the two kinds
    // interleaved so that both see the same load.
    const add = [];
    const copy = [];
    for (let batch = 0; batch < 40; batch++) {
      let t0 = now();
      for (let i = 0; i < 20; i++) player.addImage(images[i & 1]);
      add.push(((now() - t0) * 1000) / 20);
      t0 = now();
      for (let i = 0; i < 20; i++) target.set(images[i & 1]);
      copy.push(((now() - t0) * 1000) / 20);
      await new Promise((resolve) => setImmediate(resolve));
    }
    const a = median(add);
    const c = median(copy);
    rows.push({ what: `addImage ${mode}, 1000 tiles (${width} x ${height})`, ms: (a / 1000).toFixed(4),
      limit: `copy of the image ${(c / 1000).toFixed(4)} ms`, ratio: (a / c).toFixed(2), aim: mode === 'video' ? '' : '<= 2.5' });
    player.stop();
    await done;
  }

  // Memory of a started Player, in a child process of its own.
  for (const mode of ['rgb', 'mask', 'video']) {
    const child = fork(__filename, ['--rss', String(port), mode], { stdio: 'inherit' });
    const report = await new Promise((resolve, reject) => {
      child.once('message', resolve);
      child.once('exit', (code) => reject(new Error(`memory child exited with ${code}`)));
    });
    child.removeAllListeners('exit');
    await new Promise((resolve) => child.once('exit', resolve));
    const beyond = report.rss - report.frameBytes;
    rows.push({ what: `Player RSS beyond frame buffers, ${mode}, 1000 tiles (MB)`,
      ms: '', limit: '1 MB', ratio: (beyond / 2 ** 20).toFixed(2),
      aim: `${(report.rss / 2 ** 20).toFixed(2)} MB held, ${(report.frameBytes / 2 ** 20).toFixed(2)} MB frames` });
  }

  com.stop();
  await relay.stop();
  console.log(`node ${process.version}, load ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
  console.table(rows);
}

// The child: RSS before the Players exist and once they played, with the
// topology made before the first reading so that only the Players count.
const PLAYERS = 8;
async function memory(port, mode) {
  const com = await connect(port);
  lc.Log.setMode('simple');
  const top = new lc.Topology(installation(1000));
  const settle = async () => {
    if (global.gc) global.gc();
    await new Promise((resolve) => setTimeout(resolve, 50));
  };
  // A first playback on another player warms the module's own one-time
  // state (threads, tables), which is not the Player's. It is kept alive,
  // with its mappings, so that the measured one cannot reuse their memory.
  const warm = new lc.Player(com);
  let warmEnded;
  const warmDone = new Promise((resolve) => { warmEnded = resolve; });
  warm.start(0, top, mode, false, () => warmEnded());
  await new Promise((resolve) => setTimeout(resolve, 100));
  warm.stop();
  await warmDone;
  await settle();
  // Several players, each set up and played once: a stopped player keeps
  // its mappings, and the set-up's passing memory, reused from one to the
  // next, is spread over all of them.
  const before = process.memoryUsage().rss;
  const players = [];
  let frames = 0;
  for (let i = 0; i < PLAYERS; i++) {
    const player = new lc.Player(com);
    frames = player.getScreen(0, top, mode).frames;
    let ended;
    const done = new Promise((resolve) => { ended = resolve; });
    player.start(0, top, mode, false, () => ended());
    await new Promise((resolve) => setTimeout(resolve, 50));
    player.stop();
    await done;
    players.push(player);
  }
  await settle();
  const rss = (process.memoryUsage().rss - before) / PLAYERS;
  for (const player of [warm, ...players]) player.getCounters();
  com.stop();
  // Three pictures in a ring, each `frames` frames of the relay's 918 bytes.
  process.send({ rss, frameBytes: 3 * frames * 918 }, () => process.exit(0));
}

if (process.argv[2] === '--rss') {
  memory(Number(process.argv[3]), process.argv[4]).catch((err) => {
    console.error(err);
    process.exit(1);
  });
} else {
  main().catch((err) => {
    console.error(err);
    process.exitCode = 1;
  });
}
