'use strict';
// Cost of one Player "addImage" call from JavaScript, on installations of 12,
// 100 and 1000 square tiles in each mode, while a playback runs against a
// virtual relay. At 60 images per second a call must stay well under a
// millisecond to leave the script thread free.
//
//   node bench/player_addimage.js

const lc = require('..');
const { VirtualRelay } = require('../lib/relay');

const SIZES = [12, 100, 1000];
const CALLS = 400;

const { installation } = require('./support/installation');

async function main() {
  const relay = new VirtualRelay({ period: 5, state: 1 });
  const port = await relay.start();
  const com = new lc.Com();
  await new Promise((resolve) => {
    com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'bench' }, (_, code) => {
      if (code === 0) resolve();
    });
  });
  lc.Log.setMode('simple');
  console.log('addImage from JavaScript, per call (microseconds)');
  console.log('tiles  mode   width x height   p50     p99     max   CPU mean');
  for (const tiles of SIZES) {
    const top = new lc.Topology(installation(tiles));
    for (const mode of ['video', 'rgb', 'mask']) {
      const player = new lc.Player(com);
      const { width, height } = player.getScreen(0, top, mode);
      const ended = new Promise((resolve) => player.start(0, top, mode, false, resolve));
      const images = [0, 1].map((n) => {
        const image = Buffer.alloc(4 * width * height);
        for (let i = 0; i < image.length; i++) image[i] = (i * 31 + n * 7) % 256;
        return image;
      });
      const costs = [];
      // CPU time too: on a busy machine wall-clock tails are other processes.
      let cpu = 0;
      for (let i = 0; i < CALLS; i++) {
        const c0 = process.cpuUsage();
        const t0 = process.hrtime.bigint();
        player.addImage(images[i & 1]);
        costs.push(Number(process.hrtime.bigint() - t0) / 1000);
        const c = process.cpuUsage(c0);
        cpu += c.user + c.system;
        if (i % 50 === 0) await new Promise((r) => setImmediate(r));
      }
      costs.sort((a, b) => a - b);
      const at = (p) => costs[Math.floor(p * (costs.length - 1))].toFixed(1).padStart(7);
      console.log(`${String(tiles).padStart(5)}  ${mode.padEnd(5)}  ${`${width} x ${height}`.padEnd(15)}` +
        `${at(0.5)} ${at(0.99)} ${at(1)} ${(cpu / CALLS).toFixed(1).padStart(9)}`);
      player.stop();
      await ended;
    }
  }
  com.stop();
  await relay.stop();
}

main().catch((err) => {
  console.error(err);
  process.exitCode = 1;
});
