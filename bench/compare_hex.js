'use strict';

// HEX read and write throughput side by side, on the same three files:
// this module's reader (through bench_firmware), the npm package
// nrf-intel-hex in this node process, and Debian's python3-intelhex.
// Run through `make compare-hex`.

const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { performance } = require('perf_hooks');
const MemoryMap = require('nrf-intel-hex');

const root = path.join(__dirname, '..');
const benchBinary = path.join(root, 'build-bench', 'bench_firmware');
const files = ['dense16.hex', 'dense32crlf.hex', 'sparse.hex'];

function bestRate(fn, bytes, seconds = 1.5) {
  let best = Infinity;
  const end = performance.now() + seconds * 1000;
  for (let runs = 0; runs < 3 || performance.now() < end; ++runs) {
    const t = performance.now();
    fn();
    best = Math.min(best, performance.now() - t);
  }
  return bytes / (best / 1000) / 1e6;
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-hex-bench-'));
try {
  // Our numbers; the binary also writes the three files for the others.
  const ours = JSON.parse(
    execFileSync(benchBinary, [
      `--lc_write_dir=${dir}`,
      '--benchmark_filter=Hex|Loader',
      '--benchmark_format=json',
      '--benchmark_min_time=1',
    ], { encoding: 'utf8' }),
  );
  const rate = (name) => {
    const b = ours.benchmarks.find((x) => x.name.split('/')[0] === name);
    return b.bytes_per_second / 1e6;
  };
  const paths = files.map((f) => path.join(dir, f));

  const python = JSON.parse(
    execFileSync('/usr/bin/python3', [path.join(__dirname, 'intelhex_bench.py'), ...paths], {
      encoding: 'utf8',
    }),
  );

  const rows = [];
  const ourRead = { 'dense16.hex': 'BM_HexRead_Dense16', 'dense32crlf.hex': 'BM_HexRead_Dense32Crlf', 'sparse.hex': 'BM_HexRead_Sparse' };
  const ourWrite = { 'dense16.hex': 'BM_HexWrite_Dense', 'dense32crlf.hex': 'BM_HexWrite_Dense', 'sparse.hex': 'BM_HexWrite_Sparse' };
  for (const [i, file] of files.entries()) {
    const text = fs.readFileSync(paths[i], 'utf8');
    const map = MemoryMap.fromHex(text);
    const written = map.asHexString().length;
    rows.push({
      file,
      'size KB': (text.length / 1024).toFixed(0),
      'lc read MB/s': rate(ourRead[file]).toFixed(0),
      'nrf-intel-hex read MB/s': bestRate(() => MemoryMap.fromHex(text), text.length).toFixed(1),
      'intelhex read MB/s': python[paths[i]].read.toFixed(1),
      'lc write MB/s': rate(ourWrite[file]).toFixed(0),
      'nrf-intel-hex write MB/s': bestRate(() => map.asHexString(), written).toFixed(1),
      'intelhex write MB/s': python[paths[i]].write.toFixed(1),
    });
  }
  console.table(rows);
  for (const name of ['BM_LoaderAppOnlyFull', 'BM_LoaderKernelFull']) {
    const b = ours.benchmarks.find((x) => x.name.split('/')[0] === name);
    console.log(`${name}: ${b.cpu_time.toFixed(1)} ${b.time_unit} CPU, ${b.real_time.toFixed(1)} ${b.time_unit} wall, ${b.packets} packets`);
  }
  console.log(`machine: ${os.cpus()[0].model}, ${os.cpus().length} cores, load ${os.loadavg()[0].toFixed(2)}`);
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
