#!/usr/bin/env node
'use strict';

// Wall time of one upload to several virtual relays at once against the same
// upload to one relay alone, each relay in a process of its own so that the
// relays do not share an event loop. Run by `make bench`:
//   node bench/upload_show.js [relays] [rounds] [kilobytes per image]
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { eachRelay } = require('../lib/show/each');
const { startLc } = require('../test/support/cli');
const { samplePackage } = require('../lib/relay/sample');

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];

async function main() {
  const count = Number(process.argv[2] || 8);
  const rounds = Number(process.argv[3] || 3);
  const kb = Number(process.argv[4] || 32);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-bench-'));
  const file = path.join(dir, 'app.json');
  fs.writeFileSync(file, JSON.stringify(samplePackage(['quadra', 'quadrav2'], kb * 1024)));
  const app = new lc.promises.LcApp();
  if (!app.openFromFile(file)) throw new Error('the sample package did not open');

  const children = Array.from({ length: count }, () => startLc(['relay', '--port', '0', '--quiet'], { timeout: 3600000 }));
  try {
    const ports = await Promise.all(children.map(async (c) => Number((await c.waitFor(/listening on 127\.0\.0\.1:(\d+)/))[1])));
    const relays = ports.map((port, i) => ({ name: `r${i}`, host: '127.0.0.1', port }));
    const upload = async (set) => {
      const t0 = process.hrtime.bigint();
      const results = await eachRelay(set, ({ com }) => new lc.promises.Loader(com).send(app));
      const ms = Number(process.hrtime.bigint() - t0) / 1e6;
      const failed = results.filter((r) => !r.ok);
      if (failed.length) throw new Error(`${failed.map((r) => `${r.name}: ${r.reason}`).join('; ')}`);
      return ms;
    };
    lc.logs.setConsole(false);
    const single = [];
    const parallel = [];
    for (let r = 0; r < rounds; r++) {
      single.push(await upload(relays.slice(0, 1)));
      parallel.push(await upload(relays));
    }
    const s = median(single);
    const p = median(parallel);
    const ratio = p / s;
    console.log(`upload of ${app.getTypes().length} images of ${kb} KB, median of ${rounds} rounds (connect included):`);
    console.log(`  1 relay:  ${s.toFixed(0)} ms   (rounds: ${single.map((v) => v.toFixed(0)).join(', ')})`);
    console.log(`  ${count} relays: ${p.toFixed(0)} ms   (rounds: ${parallel.map((v) => v.toFixed(0)).join(', ')})`);
    console.log(`  ${count} relays at once take ${Math.abs(100 * (ratio - 1)).toFixed(1)}% ${ratio >= 1 ? 'longer' : 'less'} than one (aim: within 10%)`);
    console.log(`  load average ${os.loadavg().map((v) => v.toFixed(2)).join(' ')} on ${os.cpus().length} cores`);
  } finally {
    for (const c of children) c.child.kill('SIGINT');
    await Promise.all(children.map((c) => c.done));
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err.stack || String(err));
  process.exit(1);
});
