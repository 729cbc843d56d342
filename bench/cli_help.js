'use strict';

// How much `lc --help` costs over starting node itself: both run `RUNS`
// times, interleaved so that the machine's load falls on both alike; the
// medians, their difference and ratio are printed. The aim is at most
// 10 ms over `node -e 0`.
const { spawnSync } = require('child_process');
const os = require('os');
const path = require('path');

const RUNS = Number(process.env.RUNS) || 20;
// LC_BIN: another checkout's bin/lc.js, to compare two versions in one run.
const LC = process.env.LC_BIN || path.join(__dirname, '..', 'bin', 'lc.js');

function once(args) {
  const t0 = process.hrtime.bigint();
  const r = spawnSync(process.execPath, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const ms = Number(process.hrtime.bigint() - t0) / 1e6;
  if (r.status !== 0) throw new Error(`node ${args.join(' ')} exited ${r.status}: ${r.stderr}`);
  return ms;
}

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

const bare = [];
const help = [];
once([LC, '--help']); // the first run fills the file cache
for (let i = 0; i < RUNS; i++) {
  bare.push(once(['-e', '0']));
  help.push(once([LC, '--help']));
}
const b = median(bare);
const h = median(help);
console.log(`lc --help: ${h.toFixed(1)} ms, node -e 0: ${b.toFixed(1)} ms (medians of ${RUNS}, load ${os.loadavg()[0].toFixed(2)}): ` +
  `+${(h - b).toFixed(1)} ms, ratio ${(h / b).toFixed(2)} (aim: at most +10 ms)`);
