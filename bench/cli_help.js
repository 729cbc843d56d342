'use strict';

// How much `lc --help` costs over starting node itself: both run `RUNS`
// times, interleaved so that the machine's load falls on both alike; the
// medians, their difference and ratio are printed, and the peak memory of
// each (measured in runs of their own, untimed). The aim is at most 10 ms
// over `node -e 0`.
const { spawnSync } = require('child_process');
const os = require('os');
const path = require('path');

const RUNS = Number(process.env.RUNS) || 20;
// LC_BIN: another checkout's bin/lc.js instead of this one; LC_PEER: a
// second one timed in the same runs, to compare two versions.
const LC = process.env.LC_BIN || path.join(__dirname, '..', 'bin', 'lc.js');
const PEER = process.env.LC_PEER;

function once(args) {
  const t0 = process.hrtime.bigint();
  const r = spawnSync(process.execPath, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const ms = Number(process.hrtime.bigint() - t0) / 1e6;
  if (r.status !== 0) throw new Error(`node ${args.join(' ')} exited ${r.status}: ${r.stderr}`);
  return ms;
}

// The peak resident memory of `lc --help` (none: of node alone), in MB,
// reported by the process itself as it exits.
function peakMb(bin) {
  const report = "process.on('exit', () => require('fs').writeSync(2, `${process.resourceUsage().maxRSS}\\n`));";
  const run = bin ? `process.argv = [process.execPath, ${JSON.stringify(bin)}, '--help']; require(process.argv[1]);` : '';
  const r = spawnSync(process.execPath, ['-e', report + run], { stdio: ['ignore', 'pipe', 'pipe'] });
  return Number(String(r.stderr).trim().split('\n').pop()) / 1024;
}

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

const bins = PEER ? [LC, PEER] : [LC];
const bare = [];
const help = bins.map(() => []);
for (const bin of bins) once([bin, '--help']); // the first run fills the file cache
for (let i = 0; i < RUNS; i++) {
  bare.push(once(['-e', '0']));
  bins.forEach((bin, j) => help[j].push(once([bin, '--help'])));
}
const b = median(bare);
const bareMb = median([0, 1, 2].map(() => peakMb()));
bins.forEach((bin, j) => {
  const h = median(help[j]);
  const mb = median([0, 1, 2].map(() => peakMb(bin)));
  console.log(`${bin} --help: ${h.toFixed(1)} ms, node -e 0: ${b.toFixed(1)} ms (medians of ${RUNS}, load ${os.loadavg()[0].toFixed(2)}): ` +
    `+${(h - b).toFixed(1)} ms, ratio ${(h / b).toFixed(2)} (aim: at most +10 ms); peak memory +${(mb - bareMb).toFixed(1)} MB`);
});
