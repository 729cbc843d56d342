'use strict';
// Package reading: LcApp.openFromFile beside the npm package nrf-intel-hex
// reading the same package (file read, JSON.parse, lines joined, HEX
// decoded) and beside the core HEX reader on the image's plain HEX text
// (through bench_firmware). Rates are package bytes per second, the core
// reader's HEX bytes per second.
//
//   make addon bench   (or: node bench/compare_package.js after both builds)

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const MemoryMap = require('nrf-intel-hex');
const lc = require(path.join(__dirname, '..'));

const benchBinary = path.join(__dirname, '..', 'build-bench', 'bench_firmware');

// Best of several timed runs, as MB/s of `bytes`.
function rate(fn, bytes, seconds = 1.5) {
  let best = Infinity;
  const end = Date.now() + seconds * 1000;
  for (let runs = 0; runs < 5 || Date.now() < end; ++runs) {
    const t = process.hrtime.bigint();
    fn();
    best = Math.min(best, Number(process.hrtime.bigint() - t) / 1e9);
  }
  return bytes / best / 1e6;
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-package-bench-'));
try {
  const core = JSON.parse(execFileSync(benchBinary, [`--lc_write_dir=${dir}`,
    '--benchmark_filter=BM_HexRead_Dense16', '--benchmark_format=json',
    '--benchmark_min_time=1'], { encoding: 'utf8' }));
  const coreRate = core.benchmarks[0].bytes_per_second / 1e6;

  // The package as LcApp writes it: one string per line, four-space indents.
  const hex = fs.readFileSync(path.join(dir, 'dense16.hex'), 'utf8');
  const lines = hex.split('\n').filter((l) => l.length > 0);
  const file = path.join(dir, 'package.json');
  fs.writeFileSync(file, `${JSON.stringify([{ name: 'delta', hex: lines }], null, 4)}\n`);
  const size = fs.statSync(file).size;

  const app = () => {
    const a = new lc.LcApp();
    if (!a.openFromFile(file)) throw new Error('package not read');
  };
  app();
  const npm = () => {
    const doc = JSON.parse(fs.readFileSync(file, 'utf8'));
    return MemoryMap.fromHex(doc[0].hex.join('\n'));
  };
  const ours = rate(app, size);
  const theirs = rate(npm, size);
  console.table([
    { reader: 'LcApp.openFromFile', 'MB/s': ours.toFixed(0) },
    { reader: 'nrf-intel-hex, same package', 'MB/s': theirs.toFixed(0) },
    { reader: 'core HEX reader, plain HEX text', 'MB/s': coreRate.toFixed(0) },
  ]);
  console.log(`package ${(size / 1024).toFixed(0)} KB: ${(ours / theirs).toFixed(2)}x nrf-intel-hex `
    + `(aim >= 2), ${(ours / coreRate).toFixed(2)}x the core HEX reader (aim >= 0.3); `
    + `load ${os.loadavg()[0].toFixed(2)}`);
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
