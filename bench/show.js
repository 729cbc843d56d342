'use strict';

// A show of 16 virtual relays of 500 square tiles each (a 4 x 4 wall of
// 250x200 screens, one 1000x800 canvas) playing a generated clip: the skew
// between relays taking the same picture (p50, p99, beside the status
// period), the pictures shown per second beside what the relays' pace
// allows, and this process's CPU and threads. The relays run in child
// processes, four to a process, so that they share neither this process's
// thread nor its CPU count; they do not decode the pixels.
// A picture is taken at the end of a relay's cycle of frames, and the relays'
// cycles are not in step, so the skew grows with the frames per picture:
// "rgb" mode fits a relay's picture in one frame.
// The relays' pace word sets the burst (2 x pace frames every 2 x pace-th
// status, one frame every status at pace 0), which is the take's step too.
//   node bench/show.js [seconds] [status period ms] [packet size] [mode] [pace]
const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { gridInstallation } = require('../lib/relay/sample');

const seconds = Number(process.argv[2] || 60);
const period = Number(process.argv[3] || 20);
const packetSize = Number(process.argv[4] || 65535);
const mode = process.argv[5] || 'video';
const pace = Number(process.argv[6] || 1);
const RELAYS = 16;
const PER_CHILD = 4;
const COLUMNS = 25;
const ROWS = 20;

const threads = () => Number(/^Threads:\s+(\d+)/m.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]);

// Starts PER_CHILD relays in a child; resolves with their ports.
function relayChild(count) {
  const code = `const { VirtualRelay } = require(${JSON.stringify(path.join(__dirname, '..', 'lib', 'relay'))});
    const relays = Array.from({ length: ${count} }, () => new VirtualRelay({ period: ${period}, state: 1, packetSize: ${packetSize}, pace: ${pace} }));
    // What they received is kept for tests; here it would only grow.
    setInterval(() => { for (const r of relays) r.received.length = 0; }, 1000);
    Promise.all(relays.map((r) => r.start())).then((ports) => console.log(ports.join(' ')));`;
  const child = spawn(process.execPath, ['-e', code], { stdio: ['ignore', 'pipe', 'inherit'] });
  const ports = new Promise((resolve) => child.stdout.once('data', (d) => resolve(String(d).trim().split(' ').map(Number))));
  return { child, ports };
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-show-'));
  const children = [];
  try {
    const doc = gridInstallation(COLUMNS, ROWS);
    const topology = path.join(dir, 'wall.json');
    fs.writeFileSync(topology, JSON.stringify(doc));
    const { width, height } = new lc.promises.Player(new lc.promises.Com()).getScreen(0, new lc.promises.Topology(doc), mode);
    const clip = path.join(dir, 'clip.mp4');
    execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', `testsrc=s=${4 * width}x${4 * height}:r=25:d=${seconds}`,
      '-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p', clip]);
    for (let i = 0; i < RELAYS / PER_CHILD; i++) children.push(relayChild(PER_CHILD));
    const ports = (await Promise.all(children.map((c) => c.ports))).flat();
    const relays = ports.map((port, i) => ({
      name: `r${i}`, host: '127.0.0.1', port, tileType: 'quadra', topology, at: [(i % 4) * width, Math.floor(i / 4) * height],
    }));
    const show = new lc.promises.Show({ relays }, { mode });
    show.on('leave', ({ name, reason }) => console.log(`${name} left: ${reason}`));
    const canvas = await show.start();
    let maxThreads = threads();
    const sampler = setInterval(() => {
      maxThreads = Math.max(maxThreads, threads());
    }, 1000);
    const cpu0 = process.cpuUsage();
    const c0 = show.getCounters();
    const t0 = performance.now();
    const { shown } = await show.play(clip);
    const elapsed = (performance.now() - t0) / 1000;
    const cpu = process.cpuUsage(cpu0);
    clearInterval(sampler);
    const c1 = show.getCounters();
    await show.stop();
    const frames = show.relays[0].screen.frames;
    const status = c1.relays.map((r, i) => (r.player.statusEvents - c0.relays[i].player.statusEvents) / elapsed);
    const pictures = Math.min(...status) / frames;
    console.log(`${RELAYS} relays of ${COLUMNS * ROWS} tiles, canvas ${canvas.width}x${canvas.height}, ` +
      `${mode} mode, ${frames} frame(s) of ${packetSize} bytes per picture, status period ${period} ms, pace ${pace}; load average ${os.loadavg().map((v) => v.toFixed(2)).join(' ')}`);
    console.log(`skew between relays taking a picture: p50 ${c1.skewMs.p50.toFixed(2)} ms, p99 ${c1.skewMs.p99.toFixed(2)} ms, ` +
      `max ${c1.skewMs.max.toFixed(2)} ms over ${c1.skewMs.pictures} pictures (p99 ${(c1.skewMs.p99 / period).toFixed(2)} status periods)`);
    console.log(`pictures: ${shown} in ${elapsed.toFixed(1)} s = ${(shown / elapsed).toFixed(2)}/s; the slowest relay's pace ` +
      `${Math.min(...status).toFixed(1)} status/s = ${pictures.toFixed(2)} pictures/s; clip 25/s; relays live at the end ${c1.live}`);
    console.log(`this process: CPU ${(((cpu.user + cpu.system) / 1e6 / elapsed) * 100).toFixed(0)}% of a core ` +
      `(${((cpu.user + cpu.system) / 1000 / Math.max(shown, 1)).toFixed(2)} ms per picture), threads at most ${maxThreads}`);
  } finally {
    for (const c of children) c.child.kill();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
