#!/usr/bin/env node
'use strict';

// Wall time of a full RAM upload of one module type (128 units, 3203
// packets) against its floor of 3203 x 5 ms, and SD-card throughput, both
// against the virtual relay on loopback. Run by hand after `make addon`:
//   node bench/transfer.js [sdKilobytes]
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { VirtualRelay } = require('../lib/relay');

function record(address, type, data) {
  const bytes = [data.length, address >> 8, address & 0xff, type, ...data];
  const sum = (0x100 - (bytes.reduce((a, b) => a + b, 0) & 0xff)) & 0xff;
  return `:${Buffer.from([...bytes, sum]).toString('hex').toUpperCase()}`;
}

// 128 KB of RAM image: every unit of the region is used.
function fullPackage(dir) {
  const lines = [record(0, 4, [0xa0, 0x00])];
  for (let a = 0; a < 0x20000; a += 16) {
    if (a > 0 && a % 0x10000 === 0) lines.push(record(0, 4, [0xa0, a >> 16]));
    lines.push(record(a & 0xffff, 0, Array.from({ length: 16 }, (_, i) => (a + i * 7) & 0xff)));
  }
  lines.push(':00000001FF');
  const file = path.join(dir, 'full.json');
  fs.writeFileSync(file, JSON.stringify([{ name: 'delta', hex: lines }]));
  return file;
}

async function main() {
  const sdKb = Number(process.argv[2] || 1024);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-bench-'));
  const relay = new VirtualRelay({ period: 100, state: 1 });
  await relay.start();
  const com = new lc.Com();
  await new Promise(
      (resolve) => com.start(
          { type: 'TCPIP', ip: '127.0.0.1', port: relay.port },
          (_, code) => code === 0 && resolve()));

  const app = new lc.LcApp();
  if (!app.openFromFile(fullPackage(dir))) throw new Error('package not read');
  let lastFrameAt = 0;
  relay.on('upload', () => {
    lastFrameAt = performance.now();
  });
  const firstFrame =
      new Promise((resolve) => relay.once('frame', () => resolve(performance.now())));
  const started = performance.now();
  const failed = await new Promise((resolve) => new lc.Loader(com).send(app, resolve));
  const first = await firstFrame;
  const result = relay.loader.results[0];
  const streamMs = lastFrameAt - first;
  const floorMs = (result.packets - 1) * 5;
  console.log(`upload: ${result.packets} packets, ok=${result.ok}, failed=${failed}`);
  console.log(
      `  first to last frame ${(streamMs / 1000).toFixed(3)} s against a floor of ` +
      `${(floorMs / 1000).toFixed(3)} s between them (${
          ((streamMs / floorMs - 1) * 100).toFixed(2)}% over)`);
  console.log(
      `  send to callback ${((performance.now() - started) / 1000).toFixed(3)} s ` +
      '(stream, last pause, 1 s settle)');

  const file = path.join(dir, 'sd.bin');
  fs.writeFileSync(file, Buffer.alloc(sdKb * 1024, 0x5a));
  const t0 = performance.now();
  const sdFailed = await new Promise((resolve) => new lc.SdSender(com).send(file, resolve));
  const s = (performance.now() - t0) / 1000;
  console.log(
      `SD: ${sdKb} KB in ${s.toFixed(3)} s, ${(sdKb / s).toFixed(0)} KB/s, ` +
      `${((sdKb * 8) / s).toFixed(0)} frames/s, failed=${sdFailed}`);

  com.stop();
  await relay.stop();
  fs.rmSync(dir, { recursive: true, force: true });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
