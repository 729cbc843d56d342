'use strict';
// The cost of one link beside a net.Socket peer doing the same job in the
// same run:
// - events: data frames of a flooding relay delivered to a CustomApp
//   callback, against a 'data' handler cutting the same bytes into frames;
//   unpaced (rate, drops, RSS) and paced at 1 M/s (lost, event-loop lag);
// - streaming: a Com and a Player answering a status flood with pixel
//   frames, against a socket answering it with the same frames: threads,
//   CPU and context switches per status, system calls per pixel frame.
// Each measurement runs in a fresh process; the relay is another process.
//
//   make addon && node bench/compare_link.js
//   LC_NATIVE=before:/tmp/old.node,after:build/Release/lc.node node bench/compare_link.js
//
// System calls are counted with strace when it is installed.

const path = require('node:path');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const { monitorEventLoopDelay } = require('node:perf_hooks');

// The histogram records the time between the ticks of a timer set to this
// period, the period included: how late a tick came is that less the period.
const LAG_RESOLUTION_MS = 1;
const lateness = (histogram, q) => Math.max(0, histogram.percentile(q) / 1e6 - LAG_RESOLUTION_MS);

const HEADER = 4;
const STATUS = 0;
const DATA = 2;
const PIXELS_SIZE = 918;

function frame(type, payload) {
  const f = Buffer.alloc(HEADER + payload.length);
  f.writeUInt16LE(type, 0);
  f.writeUInt16LE(payload.length, 2);
  payload.copy(f, HEADER);
  return f;
}

function statusFrame(state = 1) {
  const p = Buffer.alloc(18);
  p.writeUInt16LE(state, 0);
  p.writeUInt16LE(1, 2); // pace
  p.writeUInt16LE(PIXELS_SIZE, 8);
  p.writeUInt16LE(128, 10);
  p.writeUInt32LE(60, 12);
  p.writeUInt16LE(8, 16);
  return frame(STATUS, p);
}

// ---------------------------------------------------------------------------
// The relay: `serve MODE RATE` floods every connection with status frames
// (MODE status; MODE states: their state word alternating between 1 and 2)
// or with 16-byte data frames and a status in every 256 (MODE data), RATE frames a second (0: as fast as the socket takes them), and
// discards what it receives. "stop" on stdin ends the flood and prints the
// frames sent.

function serve(mode, rate) {
  const status = statusFrame();
  const data = frame(DATA, Buffer.alloc(16, 7));
  const unit = mode === 'data' ? data : status;
  const changed = statusFrame(2);
  // Statuses come a few to a write, as from a busy relay; data in
  // millisecond-sized pieces.
  const perChunk = mode === 'data' ? 1024 : 8;
  const chunk = Buffer.concat(Array.from({ length: perChunk }, (_, i) => {
    if (mode === 'states') return i % 2 ? changed : status;
    return mode === 'data' && i % 256 === 0 ? status : unit;
  }));
  let sent = 0;
  let stopped = false;
  const sockets = new Set();
  const server = net.createServer((socket) => {
    socket.setNoDelay(true);
    sockets.add(socket);
    socket.on('data', () => {});
    socket.on('error', () => {});
    socket.on('close', () => sockets.delete(socket));
    socket.write(status);
    const began = process.hrtime.bigint();
    const pump = () => {
      if (stopped || socket.destroyed) return;
      if (rate === 0) {
        // A reader that keeps up never fills the socket: yield now and then,
        // or "stop" would never be read.
        for (let i = 0; i < 256; i++) {
          const more = socket.write(chunk);
          sent += perChunk;
          if (!more) {
            socket.once('drain', pump);
            return;
          }
        }
        setImmediate(pump);
        return;
      }
      const due = Number((process.hrtime.bigint() - began) * BigInt(rate) / 1000000000n);
      while (sent + perChunk <= due) {
        socket.write(chunk);
        sent += perChunk;
      }
      setTimeout(pump, 1);
    };
    pump();
  });
  server.listen(0, '127.0.0.1', () => process.stdout.write(`${server.address().port}\n`));
  process.stdin.on('data', (line) => {
    if (!String(line).includes('stop')) return;
    stopped = true;
    process.stdout.write(`${sent + 1}\n`); // the first status too
    setTimeout(() => {
      for (const s of sockets) s.destroy();
      server.close();
      process.exit(0);
    }, 200);
  });
}

class Relay {
  constructor(mode, rate) {
    this.child = spawn(process.execPath, [__filename, 'serve', mode, String(rate)],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    this.lines = [];
    this.waiters = [];
    let text = '';
    this.child.stdout.on('data', (d) => {
      text += d;
      let at;
      while ((at = text.indexOf('\n')) >= 0) {
        this.lines.push(Number(text.slice(0, at)));
        text = text.slice(at + 1);
        for (const w of this.waiters.splice(0)) w();
      }
    });
  }

  async line() {
    while (this.lines.length === 0) await new Promise((r) => this.waiters.push(r));
    return this.lines.shift();
  }

  async stop() {
    this.child.stdin.write('stop\n');
    return this.line();
  }
}

// ---------------------------------------------------------------------------
// Measurements, each in the process it runs in.

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(check, ms) {
  const end = Date.now() + ms;
  while (!check() && Date.now() < end) await sleep(5);
  return check();
}

// The module at `native` and a Com started on the relay at `port`;
// `beforeStart(lc, com)` runs before the link connects.
async function startCom(native, port, beforeStart = () => {}) {
  const lc = require(native);
  const com = new lc.Com();
  beforeStart(lc, com);
  let up = false;
  com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'bench' }, (_, code) => {
    if (code === 0) up = true;
  });
  await until(() => up, 5000);
  return { lc, com };
}

function tasks() {
  return fs.readdirSync('/proc/self/task');
}

// CPU time (ns) and context switches of every thread of this process.
function threadTotals(only) {
  let cpu = 0;
  let switches = 0;
  for (const tid of only || tasks()) {
    try {
      cpu += Number(fs.readFileSync(`/proc/self/task/${tid}/schedstat`, 'utf8').split(' ')[0]);
      const st = fs.readFileSync(`/proc/self/task/${tid}/status`, 'utf8');
      for (const m of st.matchAll(/ctxt_switches:\s+(\d+)/g)) switches += Number(m[1]);
    } catch {
      // a thread that ended meanwhile
    }
  }
  return { cpu, switches };
}

const mainCpu = () => threadTotals([String(process.pid)]).cpu;

// Frames cut from a byte stream as a script would, with no copy.
class Cutter {
  constructor(onFrame) {
    this.onFrame = onFrame;
    this.rest = null;
  }

  push(chunk) {
    let b = this.rest ? Buffer.concat([this.rest, chunk]) : chunk;
    let at = 0;
    while (b.length - at >= HEADER) {
      const length = b.readUInt16LE(at + 2);
      if (b.length - at < HEADER + length) break;
      this.onFrame(b.readUInt16LE(at), b.subarray(at + HEADER, at + HEADER + length));
      at += HEADER + length;
    }
    this.rest = at < b.length ? b.subarray(at) : null;
  }
}

// How long the event loop's turns take, to the microsecond: a chain of
// immediates, one a turn, records the time between them. A callback that
// becomes ready waits at most a turn, so the turns are the lag a UI feels;
// the histogram's timer ticks cannot show less than a millisecond, the
// loop's timer resolution. The chain keeps the loop from sleeping, so it
// runs apart from the CPU figures.
function turnProbe() {
  const gaps = new Float64Array(1 << 22);
  let count = 0;
  let last = null;
  let on = true;
  const tick = () => {
    const now = performance.now();
    if (last !== null && count < gaps.length) gaps[count++] = now - last;
    last = now;
    if (on) setImmediate(tick);
  };
  setImmediate(tick);
  return {
    stop() {
      on = false;
      const sorted = gaps.subarray(0, count).sort();
      return count ? sorted[Math.min(count - 1, Math.floor(0.99 * count))] : null;
    },
  };
}

// Data events: lc's CustomApp callback or a net.Socket handler. With
// `turns`, only the delivery and the loop's p99 turn are measured.
async function events(kind, native, rate, seconds, turns = false) {
  const relay = new Relay('data', rate);
  const port = await relay.line();
  const lag = monitorEventLoopDelay({ resolution: LAG_RESOLUTION_MS });
  let delivered = 0;
  let stop;
  let counters = () => ({ concastsDropped: 0 });
  if (kind === 'net') {
    const socket = net.connect(port, '127.0.0.1');
    socket.setNoDelay(true);
    const cutter = new Cutter((type) => {
      if (type === DATA) delivered++;
    });
    socket.on('data', (d) => cutter.push(d));
    socket.on('error', () => {});
    await new Promise((r) => socket.once('connect', r));
    stop = () => socket.destroy();
  } else {
    // Started before the link is up, so that it hears every frame from the
    // first, as the socket's handler does: the relay floods from the moment
    // it accepts.
    let app;
    const { com } = await startCom(native, port, (lc, c) => {
      app = new lc.CustomApp(c);
      app.start((_, what) => {
        if (what === 'concast') delivered++;
      });
    });
    counters = () => app.getCounters();
    stop = () => {
      app.stop();
      com.stop();
    };
  }
  await sleep(300); // past the connect and the first batches
  const rss0 = process.memoryUsage().rss;
  let rssPeak = rss0;
  const peak = setInterval(() => {
    rssPeak = Math.max(rssPeak, process.memoryUsage().rss);
  }, 20);
  const d0 = delivered;
  const c0 = mainCpu();
  const t0 = process.hrtime.bigint();
  lag.enable();
  const probe = turns ? turnProbe() : null;
  await sleep(seconds * 1000);
  const p99TurnMs = probe ? probe.stop() : null;
  lag.disable();
  const elapsed = Number(process.hrtime.bigint() - t0) / 1e9;
  const count = delivered - d0;
  const cpu = mainCpu() - c0;
  const sent = await relay.stop();
  // Whatever is still on its way arrives, unless it was dropped.
  await until(() => delivered + counters().concastsDropped >= sent - Math.ceil(sent / 256), 3000);
  clearInterval(peak);
  const dropped = counters().concastsDropped;
  const dataSent = sent - Math.ceil(sent / 256);
  stop();
  return {
    rate: count / elapsed,
    mainUsPerEvent: cpu / 1000 / Math.max(1, count),
    p99LagMs: lateness(lag, 99),
    p99TurnMs,
    lost: Math.max(0, dataSent - delivered),
    dropped,
    rssMB: (rssPeak - rss0) / 1048576,
  };
}

// Status changes: every status frame of a flood changes the state word.
// lc's Com reports a run of changes not yet delivered as one code 2; the
// net.Socket handler calls a function for each change it parses.
async function states(kind, native, seconds) {
  const relay = new Relay('states', 0);
  const port = await relay.line();
  const lag = monitorEventLoopDelay({ resolution: LAG_RESOLUTION_MS });
  let calls = 0;
  let stop;
  if (kind === 'net') {
    let state = -1;
    const onChange = () => calls++;
    const socket = net.connect(port, '127.0.0.1');
    const cutter = new Cutter((type, payload) => {
      if (type !== STATUS) return;
      const now = payload.readUInt16LE(0);
      if (state !== -1 && now !== state) onChange(now);
      state = now;
    });
    socket.on('data', (d) => cutter.push(d));
    socket.on('error', () => {});
    await new Promise((r) => socket.once('connect', r));
    stop = () => socket.destroy();
  } else {
    const lc = require(native);
    const com = new lc.Com();
    com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'bench' }, (_, code) => {
      if (code === 2) calls++;
    });
    stop = () => com.stop();
  }
  await sleep(300);
  const rss0 = process.memoryUsage().rss;
  let rssPeak = rss0;
  const peak = setInterval(() => {
    rssPeak = Math.max(rssPeak, process.memoryUsage().rss);
  }, 20);
  const n0 = calls;
  const c0 = mainCpu();
  const t0 = process.hrtime.bigint();
  lag.enable();
  await sleep(seconds * 1000);
  lag.disable();
  const elapsed = Number(process.hrtime.bigint() - t0) / 1e9;
  const cpu = mainCpu() - c0;
  clearInterval(peak);
  const sent = await relay.stop();
  stop();
  return {
    offered: sent / (elapsed + 0.3),
    callsPerSecond: (calls - n0) / elapsed,
    mainCpuShare: cpu / 1e9 / elapsed,
    p99LagMs: lateness(lag, 99),
    rssMB: (rssPeak - rss0) / 1048576,
  };
}

// A grid of `tiles` square tiles behind the relay, as the player sees it.
function grid(tiles) {
  const width = 40;
  const doc = [{ id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] }];
  for (let i = 0; i < tiles; i++) {
    const id = i + 1;
    const c = i % width;
    const neighbours = [];
    if (i === 0) neighbours.push({ channel: 0, id: 0, child: 0 });
    if (i >= width) neighbours.push({ channel: 0, id: id - width, child: 0 });
    if (c + 1 < width && i + 1 < tiles) neighbours.push({ channel: 1, id: id + 1, child: 1 });
    if (i + width < tiles) neighbours.push({ channel: 2, id: id + width, child: c === 0 ? 1 : 0 });
    if (c > 0) neighbours.push({ channel: 3, id: id - 1, child: 0 });
    doc.push({ id, type: 4, neighbours });
  }
  return doc;
}

// strace -c over every thread of this process for `ms`; total calls.
async function countSyscalls(ms) {
  const out = path.join(os.tmpdir(), `lc-link-strace-${process.pid}.txt`);
  const child = spawn('strace', ['-f', '-c', '-o', out, '-p', String(process.pid)],
    { stdio: 'ignore' });
  await sleep(300); // attached
  const before = await ms();
  await sleep(1500);
  const after = await ms();
  child.kill('SIGINT');
  await new Promise((r) => child.once('exit', r));
  const text = fs.readFileSync(out, 'utf8');
  fs.rmSync(out, { force: true });
  const total = text.split('\n').find((l) => /\btotal\s*$/.test(l));
  const calls = total ? Number(total.trim().split(/\s+/)[3]) : NaN;
  return { calls, frames: after - before };
}

// Streaming: lc's Com + Player, or a socket answering as the player does
// (a burst of two frames every second status).
async function streaming(kind, native, rate, seconds, strace) {
  const relay = new Relay('status', rate);
  const port = await relay.line();
  const threads0 = tasks().length;
  let frames = () => 0;
  let statuses = () => 0;
  let stop;
  if (kind === 'net') {
    const pixels = frame(1, Buffer.alloc(PIXELS_SIZE, 5));
    const burst = Buffer.concat([pixels, pixels]);
    let sent = 0;
    let seen = 0;
    let credit = 0;
    const socket = net.connect(port, '127.0.0.1');
    socket.setNoDelay(true);
    const cutter = new Cutter((type) => {
      if (type !== STATUS) return;
      seen++;
      if (credit > 0) credit--;
      if (credit === 0) {
        socket.write(burst);
        sent += 2;
        credit = 2;
      }
    });
    socket.on('data', (d) => cutter.push(d));
    socket.on('error', () => {});
    await new Promise((r) => socket.once('connect', r));
    frames = () => sent;
    statuses = () => seen;
    stop = () => socket.destroy();
  } else {
    const { lc, com } = await startCom(native, port);
    const topology = new lc.Topology(grid(1000));
    const player = new lc.Player(com);
    player.start(0, topology, 'rgb', false, () => {});
    const screen = player.getScreen(0, topology, 'rgb');
    player.addImage(Buffer.alloc(4 * screen.width * screen.height, 9));
    frames = () => player.getCounters().framesSent;
    statuses = () => player.getCounters().statusEvents;
    stop = () => {
      player.stop();
      com.stop();
    };
  }
  await sleep(500);
  const threads = tasks().length - threads0;
  const s0 = statuses();
  const c0 = process.cpuUsage();
  const k0 = threadTotals();
  await sleep(seconds * 1000);
  const cpu = process.cpuUsage(c0);
  const k1 = threadTotals();
  const n = statuses() - s0;
  const result = {
    threads,
    statusRate: n / seconds,
    cpuUsPerStatus: (cpu.user + cpu.system) / Math.max(1, n),
    switchesPerStatus: (k1.switches - k0.switches) / Math.max(1, n),
  };
  if (strace) {
    const { calls, frames: f } = await countSyscalls(async () => frames());
    result.syscallsPerFrame = calls / Math.max(1, f);
  }
  stop();
  await relay.stop();
  return result;
}

// ---------------------------------------------------------------------------

function haveStrace() {
  if (spawnSync('strace', ['-V']).status !== 0) return false;
  // ptrace may be refused in a container.
  const probe = spawnSync('strace', ['-f', '-c', '-o', '/dev/null', 'true']);
  return probe.status === 0;
}

function runChild(args) {
  const out = execFileSync(process.execPath, [__filename, ...args], { encoding: 'utf8' });
  return JSON.parse(out.trim().split('\n').pop());
}

const fmt = (v, digits = 2) => (Number.isFinite(v) ? v.toFixed(digits) : String(v));

function main() {
  const root = path.join(__dirname, '..');
  const built = path.join(root, 'build', 'Release', 'lc.node');
  const modules = (process.env.LC_NATIVE || `lc:${built}`).split(',').map((entry) => {
    const at = entry.indexOf(':');
    return { label: entry.slice(0, at), file: path.resolve(entry.slice(at + 1)) };
  });
  const strace = haveStrace();
  const seconds = Number(process.env.LC_BENCH_SECONDS || 3);
  console.log(`load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}, ` +
    `${os.cpus().length} cores${strace ? '' : '; no strace: system calls not counted'}`);

  const peerFlood = runChild(['events', 'net', '-', '0', String(seconds)]);
  const peerPaced = runChild(['events', 'net', '-', '1000000', String(seconds)]);
  const peerTurns = runChild(['events', 'net', '-', '1000000', String(seconds), '-', '1']);
  const peerStream = runChild(['streaming', 'net', '-', '20000', String(seconds), strace ? '1' : '0']);
  const peerStates = runChild(['states', 'net', '-', '0', String(seconds)]);
  console.log(`net.Socket: ${fmt(peerFlood.rate / 1e6)} M events/s unpaced; at 1 M/s ` +
    `${fmt(peerPaced.mainUsPerEvent, 3)} us per event, p99 lag ${fmt(peerPaced.p99LagMs, 3)} ms, ` +
    `p99 turn ${fmt(peerTurns.p99TurnMs, 3)} ms; ` +
    `streaming ${fmt(peerStream.cpuUsPerStatus)} us CPU, ` +
    `${fmt(peerStream.switchesPerStatus)} switches per status, ` +
    `${fmt(peerStream.syscallsPerFrame)} system calls per frame; state changes: ` +
    `${fmt(peerStates.offered / 1e6)} M status/s offered, ${fmt(peerStates.callsPerSecond / 1e6)} M ` +
    `calls/s, main thread ${fmt(100 * peerStates.mainCpuShare, 0)}% busy, RSS +${fmt(peerStates.rssMB, 1)} MB`);
  for (const { label, file } of modules) {
    const flood = runChild(['events', 'lc', file, '0', String(seconds)]);
    const paced = runChild(['events', 'lc', file, '1000000', String(seconds)]);
    const turns = runChild(['events', 'lc', file, '1000000', String(seconds), '-', '1']);
    const stream = runChild(['streaming', 'lc', file, '20000', String(seconds), strace ? '1' : '0']);
    const changes = runChild(['states', 'lc', file, '0', String(seconds)]);
    console.log(`${label}:`);
    console.log(`  events unpaced: ${fmt(flood.rate / 1e6)} M/s = ` +
      `${fmt(flood.rate / peerFlood.rate)}x net.Socket (aim >= 0.5), ${flood.dropped} dropped, ` +
      `RSS +${fmt(flood.rssMB, 1)} MB (net.Socket +${fmt(peerFlood.rssMB, 1)} MB)`);
    console.log(`  events at 1 M/s: ${fmt(paced.rate / 1e6)} M/s delivered, ${paced.lost} lost, ` +
      `${paced.dropped} dropped; ${fmt(paced.mainUsPerEvent, 3)} us main thread per event = ` +
      `${fmt(paced.mainUsPerEvent / peerPaced.mainUsPerEvent)}x; p99 lag ` +
      `${fmt(paced.p99LagMs, 3)} ms past the 1 ms tick; p99 turn of the loop ` +
      `${fmt(turns.p99TurnMs, 3)} ms = ${fmt(turns.p99TurnMs / peerTurns.p99TurnMs)}x net.Socket (aim <= 0.2 ms)`);
    console.log(`  streaming at ${fmt(stream.statusRate / 1e3, 1)} k status/s: ${stream.threads} ` +
      `threads (aim <= 2); ${fmt(stream.cpuUsPerStatus)} us CPU per status = ` +
      `${fmt(stream.cpuUsPerStatus / peerStream.cpuUsPerStatus)}x net.Socket (aim <= 2); ` +
      `${fmt(stream.switchesPerStatus)} switches per status; ` +
      `${fmt(stream.syscallsPerFrame)} system calls per pixel frame (aim <= 1.2)`);
    console.log(`  state changes: ${fmt(changes.offered / 1e6)} M status/s offered ` +
      `(${fmt(changes.offered / peerStates.offered)}x net.Socket's), ` +
      `${fmt(changes.callsPerSecond / 1e3, 1)} k code-2 calls/s (a run of changes is one), ` +
      `main thread ${fmt(100 * changes.mainCpuShare, 0)}% busy, p99 lag ${fmt(changes.p99LagMs, 3)} ms ` +
      `(net.Socket ${fmt(peerStates.p99LagMs, 3)}), RSS +${fmt(changes.rssMB, 1)} MB`);
  }
}

async function child() {
  const [what, kind, native, rate, seconds, strace] = process.argv.slice(2);
  let result;
  if (what === 'events') result = await events(kind, native, Number(rate), Number(seconds), process.argv[8] === '1');
  else if (what === 'states') result = await states(kind, native, Number(seconds));
  else result = await streaming(kind, native, Number(rate), Number(seconds), strace === '1');
  process.stdout.write(`${JSON.stringify(result)}\n`);
  process.exit(0);
}

if (process.argv[2] === 'serve') serve(process.argv[3], Number(process.argv[4]));
else if (['events', 'streaming', 'states'].includes(process.argv[2])) child();
else main();
