'use strict';
// Times "Topology" "update" against the virtual relay for installations of
// 12, 100 and 1000 square tiles, and splits each run into: waiting for the
// first status frame (the request goes out then), the relay streaming the
// records up to the first record of the second cycle, and what follows the
// last needed frame (our decoding, the install and the callback).
//
//   make addon && node bench/topology_update.js [runs]

const lc = require('..');
const { VirtualRelay, gridInstallation } = require('../lib/relay');

const SIZES = [[12, 4, 3], [100, 10, 10], [1000, 40, 25]];
const RELAYS = [
  { name: '8 records a frame, back to back', recordsPerFrame: 8, frameInterval: 0 },
  { name: '100 records a frame, back to back', recordsPerFrame: 100, frameInterval: 0 },
  { name: '8 records a frame, one frame every 2 ms', recordsPerFrame: 8, frameInterval: 2 },
];
const runs = Number(process.argv[2]) || 5;
const now = () => Number(process.hrtime.bigint()) / 1e6;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

async function once(relay, com, tiles) {
  const marks = {};
  const onFrame = (f) => { if (f.type === 2 && marks.request === undefined) marks.request = now(); };
  // The cycle completes with the first record of the next one.
  const onRecords = (n) => { if (marks.request !== undefined && n >= tiles + 2 && marks.sent === undefined) marks.sent = now(); };
  relay.prependListener('frame', onFrame);
  relay.on('records', onRecords);
  const top = new lc.Topology();
  const start = now();
  const failed = await new Promise((resolve) => top.update('relay', 'quadra', com, resolve));
  const end = now();
  relay.off('frame', onFrame);
  relay.off('records', onRecords);
  if (failed || top.getTop().length !== tiles + 1) throw new Error('update failed');
  return { total: end - start, status: marks.request - start, stream: marks.sent - marks.request,
    after: end - marks.sent };
}

async function main() {
  for (const options of RELAYS) {
    console.log(`relay: ${options.name}, status every 20 ms`);
    for (const [tiles, columns, rows] of SIZES) {
      const relay = new VirtualRelay({ period: 20, state: 1,
        installation: gridInstallation(columns, rows), cycles: 3, ...options });
      await relay.start();
      const com = new lc.Com();
      await new Promise((resolve) => com.start({ type: 'TCPIP', ip: '127.0.0.1', port: relay.port },
        (u, code) => code === 0 && resolve()));
      const results = [];
      for (let i = 0; i < runs; i++) results.push(await once(relay, com, tiles));
      const m = (k) => median(results.map((r) => r[k])).toFixed(1).padStart(7);
      console.log(`  ${String(tiles).padStart(4)} tiles: total ${m('total')} ms = first status ${m('status')}` +
        ` + relay stream ${m('stream')} + after the last needed frame ${m('after')}`);
      com.stop();
      await new Promise((r) => setTimeout(r, 50));
      await relay.stop();
    }
  }
}

main().catch((e) => { console.error(e); process.exitCode = 1; });
