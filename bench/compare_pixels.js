'use strict';
// Runs bench_pixels (the native mappings and the memcpy ceiling) and the same
// three mappings written as plain JavaScript loops over Uint8Arrays, on the
// same installations, and prints nanoseconds per LED side by side.
//
//   make compare-pixels   # builds build-bench/bench_pixels and runs this
//   node bench/compare_pixels.js [path/to/bench_pixels]

const { execFileSync } = require('node:child_process');
const path = require('node:path');
const fs = require('node:fs');

const FRAME_LENGTH = 918;
const LEDS_PER_TILE = 100;
const SIZES = [12, 100, 1000];
const SLOT = { VideoData: 300, RGBData: 39, MaskData: 13 };

// The installation of bench_pixels.cc: square tiles on a near-square grid,
// module 0 the relay, LED k of a tile at (x0 + k % 10, y0 + k / 10).
function installation(tiles) {
  const columns = Math.ceil(Math.sqrt(tiles));
  const rows = Math.ceil(tiles / columns);
  const width = 10 * columns;
  const height = 10 * rows;
  const image = new Uint8Array(4 * width * height);
  let r = 12345;
  for (let i = 0; i < image.length; i++) {
    r = (Math.imul(r, 1103515245) + 12345) >>> 0;
    image[i] = (r >>> 16) & 1 ? r >>> 24 : 0;
  }
  return { tiles, columns, width, height, image };
}

// Frame layout and pixel tables, as the native initFromTopologyData makes them.
function build(kind, inst) {
  const s = SLOT[kind];
  const n = inst.tiles + 1;
  const m = Math.floor((FRAME_LENGTH - 2) / s);
  const f = Math.ceil(n / m);
  const frames = new Uint8Array(f * FRAME_LENGTH);
  for (let q = 0; q < f; q++) {
    frames[q * FRAME_LENGTH] = (q + 1) & 0xff;
    frames[q * FRAME_LENGTH + 1] = (q + 1) >> 8;
  }
  const count = inst.tiles * LEDS_PER_TILE;
  const source = new Uint32Array(count);
  const target = new Uint32Array(kind === 'RGBData' ? 3 * count : count);
  const mask = new Uint8Array(kind === 'RGBData' ? 3 * count : count);
  let i = 0;
  for (let id = 1; id < n; id++) {
    const q = Math.floor(id / m);
    const l = id % m;
    const slot = q * FRAME_LENGTH + 2 + l * s;
    const t = id - 1;
    const x0 = 10 * (t % inst.columns);
    const y0 = 10 * Math.floor(t / inst.columns);
    for (let k = 0; k < LEDS_PER_TILE; k++, i++) {
      source[i] = 4 * (x0 + (k % 10) + (y0 + Math.floor(k / 10)) * inst.width);
      if (kind === 'VideoData') {
        target[i] = slot + 3 * k;
      } else if (kind === 'RGBData') {
        for (let c = 0; c < 3; c++) {
          const b = 3 * k + c;
          target[3 * i + c] = slot + (b >> 3);
          mask[3 * i + c] = 1 << (b & 7);
        }
      } else {
        target[i] = slot + (k >> 3);
        mask[i] = 1 << (k & 7);
      }
    }
  }
  return { frames, source, target, mask, count };
}

// The peers read each pixel as one 32-bit word (little-endian: red in the
// low byte) and set or clear bits without a branch, as a careful JavaScript
// author would: branching on random channel values costs several times more.
const update = {
  VideoData(map, image, words) {
    const { frames, source, target, count } = map;
    const length = image.length;
    for (let i = 0; i < count; i++) {
      const p = source[i];
      if (p + 2 >= length) continue;
      const w = words[p >>> 2];
      const t = target[i];
      frames[t] = w;
      frames[t + 1] = w >>> 8;
      frames[t + 2] = w >>> 16;
    }
  },
  RGBData(map, image, words) {
    const { frames, source, target, mask, count } = map;
    const length = image.length;
    for (let i = 0; i < count; i++) {
      const p = source[i];
      if (p + 2 >= length) continue;
      const w = words[p >>> 2];
      const j = 3 * i;
      const tr = target[j];
      const tg = target[j + 1];
      const tb = target[j + 2];
      const br = mask[j];
      const bg = mask[j + 1];
      const bb = mask[j + 2];
      frames[tr] = (frames[tr] & ~br) | (br * (((w & 0xff) + 0xff) >>> 8));
      frames[tg] = (frames[tg] & ~bg) | (bg * ((((w >>> 8) & 0xff) + 0xff) >>> 8));
      frames[tb] = (frames[tb] & ~bb) | (bb * ((((w >>> 16) & 0xff) + 0xff) >>> 8));
    }
  },
  MaskData(map, image, words) {
    const { frames, source, target, mask, count } = map;
    const length = image.length;
    for (let i = 0; i < count; i++) {
      const p = source[i];
      if (p + 2 >= length) continue;
      const t = target[i];
      const b = mask[i];
      const on = ((words[p >>> 2] & 0xffffff) + 0xffffff) >>> 24;
      frames[t] = (frames[t] & ~b) | (b * on);
    }
  },
};

// Median of five timed batches of about 0.2 s each, after a warm-up.
function nsPerLed(fn, leds) {
  const batch = () => {
    let iterations = 0;
    const start = process.hrtime.bigint();
    let elapsed = 0n;
    while (elapsed < 200_000_000n) {
      for (let j = 0; j < 50; j++) fn();
      iterations += 50;
      elapsed = process.hrtime.bigint() - start;
    }
    return Number(elapsed) / iterations / leds;
  };
  batch();
  const runs = [batch(), batch(), batch(), batch(), batch()].sort((a, b) => a - b);
  return runs[2];
}

function nativeResults(binary) {
  // The median of five repetitions, as for the JavaScript side.
  const args = ['--benchmark_format=json', '--benchmark_repetitions=5',
    '--benchmark_report_aggregates_only=true'];
  const out = execFileSync(binary, args, { maxBuffer: 64 << 20 });
  const results = {};
  for (const b of JSON.parse(out).benchmarks) {
    if (b.aggregate_name !== 'median') continue;
    const match = /^BM_(Update|Memcpy)<lc::(\w+)>\/(\d+)$/.exec(b.run_name);
    if (match) results[`${match[1]} ${match[2]} ${match[3]}`] = b.per_led * 1e9;
  }
  return results;
}

function main() {
  const binary = process.argv[2] || path.join(__dirname, '..', 'build-bench', 'bench_pixels');
  if (!fs.existsSync(binary)) {
    console.error(`${binary} not found: run "make compare-pixels"`);
    process.exit(1);
  }
  const native = nativeResults(binary);
  const rows = [];
  for (const kind of Object.keys(SLOT)) {
    for (const tiles of SIZES) {
      const inst = installation(tiles);
      const map = build(kind, inst);
      const words = new Uint32Array(inst.image.buffer, inst.image.byteOffset, inst.image.length >>> 2);
      const js = nsPerLed(() => update[kind](map, inst.image, words), map.count);
      const cc = native[`Update ${kind} ${tiles}`];
      const copy = native[`Memcpy ${kind} ${tiles}`];
      rows.push({
        mapping: kind,
        tiles,
        leds: map.count,
        'native ns/LED': cc.toFixed(3),
        'JS ns/LED': js.toFixed(3),
        'memcpy ns/LED': copy.toFixed(4),
        'JS / native': (js / cc).toFixed(2),
        'native / memcpy': (cc / copy).toFixed(1),
      });
    }
  }
  console.log(`node ${process.version}, frame length ${FRAME_LENGTH}`);
  console.table(rows);
}

main();
