'use strict';

// A full-HD clip at 30 frames per second played onto 1000 square tiles: the
// pictures shown per second beside what the relay's pace allows, this
// process's CPU time per picture (ffmpeg's own apart), and the time from a
// frame's last byte out of ffmpeg to the sender taking it (the picture's
// first pixel frame is written in the same step; the time includes the hop
// back to the script thread, so it bounds the wire time from above). The
// virtual relay runs in a process of its own, so its decoding is not counted.
//   node bench/play_clip.js [seconds] [status period ms]
const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { gridInstallation } = require('../lib/relay');

const seconds = Number(process.argv[2] || 10);
const period = Number(process.argv[3] || 1);

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-clip-'));
  const clip = path.join(dir, 'clip.mp4');
  execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', `testsrc2=s=1920x1080:r=30:d=${seconds}`,
    '-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p', clip]);
  const relayCode = `const { VirtualRelay } = require(${JSON.stringify(path.join(__dirname, '..', 'lib', 'relay'))});
    const r = new VirtualRelay({ period: ${period}, state: 1 }); r.start().then((p) => console.log(p));`;
  const relay = spawn(process.execPath, ['-e', relayCode], { stdio: ['ignore', 'pipe', 'inherit'] });
  const port = await new Promise((resolve) => relay.stdout.once('data', (d) => resolve(Number(String(d).trim()))));
  try {
    const doc = gridInstallation(40, 25);
    const com = await lc.promises.connect({ ip: '127.0.0.1', port });
    const player = new lc.promises.Player(com);
    const ended = player.start(0, new lc.promises.Topology(doc), 'video', false);
    const screen = player.screen;
    const latencies = [];
    const cpu0 = process.cpuUsage();
    const t0 = performance.now();
    const c0 = player.getCounters();
    const stats = await player.play(clip, { onPicture: (item) => latencies.push(performance.now() - item.read) });
    const elapsed = (performance.now() - t0) / 1000;
    const cpu = process.cpuUsage(cpu0);
    const c1 = player.getCounters();
    await player.stop();
    await ended;
    await com.stop();
    const statusPerSecond = (c1.statusEvents - c0.statusEvents) / elapsed;
    console.log(`screen ${screen.width}x${screen.height}, ${screen.frames} frames per picture, status period ${period} ms`);
    console.log(`pictures shown: ${stats.shown} in ${elapsed.toFixed(2)} s = ${(stats.shown / elapsed).toFixed(2)}/s; ` +
      `relay pace ${statusPerSecond.toFixed(0)} status/s = ${(statusPerSecond / screen.frames).toFixed(2)} pictures/s; ` +
      `frames sent ${c1.framesSent - c0.framesSent}`);
    console.log(`CPU of this process: ${((cpu.user + cpu.system) / 1000 / stats.shown).toFixed(2)} ms per picture ` +
      `(${(((cpu.user + cpu.system) / 1e6 / elapsed) * 100).toFixed(0)}% of a core)`);
    console.log(`ffmpeg frame to taken: p50 ${percentile(latencies, 50).toFixed(2)} ms, p99 ${percentile(latencies, 99).toFixed(2)} ms`);
  } finally {
    relay.kill();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
