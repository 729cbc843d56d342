'use strict';

// One discovery scenario, run by netns.js inside a private network namespace:
//   node discovery-scenario.js <scenario> <host namespace id>
//   node discovery-scenario.js peer <json>     (the relay machine's side)
// It checks that it is not in the host's namespace and that only its own
// interfaces exist before anything is greeted, and prints "RESULT <json>".
const fs = require('fs');
const path = require('path');
const { execFileSync, spawn } = require('child_process');
const { Worker } = require('worker_threads');

const root = path.join(__dirname, '..', '..');
const { VirtualRelay, DiscoveryResponder } = require(path.join(root, 'lib', 'relay'));

let hostNamespace; // the test runner's, which no scenario may be in
const LOCAL = '10.200.0.1';
const REMOTE = '10.200.0.2';

// The system tools run without the sanitizer runtimes a sanitizer run of
// the tests preloads into node: they only slow them down.
const toolOptions = (() => {
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  return { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], env };
})();

function ip(...args) {
  return execFileSync('ip', args, toolOptions);
}

function inside(pid, ...args) {
  return execFileSync('nsenter', ['-t', String(pid), '-n', 'ip', ...args], toolOptions);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Refuses to go on unless this is a namespace of our own holding exactly the
// interfaces and IPv4 addresses we made.
function checkPrivate(hostNamespace, links, addresses) {
  checkNamespace(hostNamespace);
  const seenLinks = ip('-o', 'link', 'show').trim().split('\n')
    .map((l) => l.split(':')[1].trim().split('@')[0]).sort();
  const seenAddresses = ip('-o', '-4', 'addr', 'show').trim().split('\n')
    .filter((l) => l).map((l) => l.split(/\s+/)[3]).sort();
  if (JSON.stringify(seenLinks) !== JSON.stringify([...links].sort()) ||
      JSON.stringify(seenAddresses) !== JSON.stringify([...addresses].sort())) {
    throw new Error(`refusing to search: unexpected interfaces ${seenLinks} ${seenAddresses}`);
  }
}

function checkNamespace(hostNamespace) {
  if (!/^net:\[\d+\]$/.test(hostNamespace || '') ||
      fs.readlinkSync('/proc/self/ns/net') === hostNamespace) {
    throw new Error('refusing to run: not in a network namespace of its own');
  }
}

async function waitUntil(predicate, what, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

// A veth pair: ours at 10.200.0.1/24; the other end in the peer's
// namespace at 10.200.0.2/24, or left here (down, no address) without one.
async function makeLink(peerPid) {
  ip('link', 'add', 'vA', 'type', 'veth', 'peer', 'name', 'vB');
  ip('addr', 'add', `${LOCAL}/24`, 'dev', 'vA');
  ip('link', 'set', 'vA', 'up');
  if (peerPid === undefined) {
    ip('link', 'set', 'vB', 'up');
    return;
  }
  ip('link', 'set', 'vB', 'netns', String(peerPid));
  inside(peerPid, 'link', 'set', 'lo', 'up');
  inside(peerPid, 'addr', 'add', `${REMOTE}/24`, 'dev', 'vB');
  inside(peerPid, 'link', 'set', 'vB', 'up');
  await waitUntil(() => / state UP /.test(ip('-o', 'link', 'show', 'vA')), 'the veth link');
}

// The relay machine: a process in a namespace of its own (unshare -n), whose
// responders and relays are described by `config`.
async function startPeer(config) {
  const child = spawn('unshare', ['-n', process.execPath, __filename, 'peer',
    JSON.stringify({ ...config, hostNamespace })],
  { stdio: ['pipe', 'pipe', 'inherit'], env: toolOptions.env });
  let out = '';
  await new Promise((resolve, reject) => {
    child.stdout.on('data', (c) => {
      out += c;
      if (out.includes('ready\n')) resolve();
    });
    child.once('exit', (code) => reject(new Error(`peer ended with ${code}`)));
  });
  // The pid is the node process itself: unshare executes it in place.
  await makeLink(child.pid);
  return child;
}

async function peer(config) {
  checkNamespace(config.hostNamespace);
  const started = [];
  for (const r of config.responders || []) {
    const responder = new DiscoveryResponder({ host: '0.0.0.0', ...r });
    await responder.start();
    started.push(responder);
  }
  if (config.relay) {
    const relay = new VirtualRelay({ host: '0.0.0.0', period: 50, state: 1 });
    await relay.start();
    await relay.startDiscovery({ host: '0.0.0.0', name: 'Bench' });
    started.push(relay);
  }
  process.stdout.write('ready\n');
  // Lives until the scenario closes its stdin or ends.
  process.stdin.resume();
  process.stdin.on('end', () => process.exit(0));
}

function find(lc, tag) {
  return new Promise((resolve) => {
    const started = Date.now();
    const finder = new lc.RelayFinder();
    const queued = finder.start(tag, (unused, relays) => {
      resolve({ tag, queued, firstArgument: typeof unused, relays,
        seconds: (Date.now() - started) / 1000 });
    });
  });
}

function expectThrow(fn) {
  try {
    fn();
  } catch (e) {
    return `${e.name}: ${e.message}`;
  }
  return 'no error';
}

const scenarios = {
  // Relays on another machine; every search at once.
  async remote(host, lc) {
    const peerProcess = await startPeer({ responders: [
      { name: 'Stage-A', tcpPort: 5000, repeat: 2 },
      { name: 'Stage-A', tcpPort: 5001 },
      { name: 'simulator', tcpPort: 5002 },
      { relayType: 'relayrpi', tcpPort: 5003 },
    ] });
    checkPrivate(host, ['lo', 'vA'], ['127.0.0.1/8', `${LOCAL}/24`]);
    const results = await Promise.all(['relay', 'relayrpi', 'quadra', 'lamp'].map((t) => find(lc, t)));
    peerProcess.kill();
    return results;
  },

  // Relays on this machine, answering on loopback and on an interface address.
  async local(host, lc) {
    await makeLink();
    checkPrivate(host, ['lo', 'vA', 'vB'], ['127.0.0.1/8', `${LOCAL}/24`]);
    const errors = [
      expectThrow(() => new lc.RelayFinder().start(5, () => {})),
      expectThrow(() => new lc.RelayFinder().start('relay')),
      expectThrow(() => lc.RelayFinder()),
    ];
    const descriptors = () => fs.readdirSync('/proc/self/fd').length;
    const before = descriptors();
    const first = new DiscoveryResponder({ host: '0.0.0.0', name: 'simulator', tcpPort: 6001,
      repeat: 2 });
    await first.start();
    // A finder nobody holds: its search keeps it alive until the callback.
    const collected = new Promise((resolve) => {
      new lc.RelayFinder().start('relay', (unused, relays) => resolve(relays));
    });
    for (let i = 0; i < 5; i++) {
      global.gc();
      await sleep(20);
    }
    const one = await find(lc, 'relay');
    const unheld = await collected;
    const greeters = [...new Set(first.greetings.map((g) => g.address))].sort();
    const second = new DiscoveryResponder({ host: '0.0.0.0', name: 'Other', tcpPort: 6002 });
    await second.start();
    const two = await find(lc, 'relay');
    await first.stop();
    await second.stop();
    await sleep(200); // a worker goes just after its callback returned
    const leaked = descriptors() - before;
    return { errors, one, unheld, greeters, two, leaked };
  },

  // A relay that never falls silent, searched from the main thread and from a
  // worker thread that is terminated mid-search.
  async flood(host, lc) {
    const peerProcess = await startPeer({ responders: [{ name: 'Noisy', tcpPort: 5000,
      floodMs: 200 }] });
    checkPrivate(host, ['lo', 'vA'], ['127.0.0.1/8', `${LOCAL}/24`]);
    const searching = find(lc, 'relay');
    const worker = new Worker(`
      const { parentPort } = require('worker_threads');
      const lc = require(${JSON.stringify(root)});
      new lc.RelayFinder().start('relay', () => parentPort.postMessage('done'));
      parentPort.postMessage('started');`, { eval: true });
    await new Promise((resolve) => worker.once('message', resolve));
    await sleep(1500); // into the flood, past the quiet time
    const terminating = Date.now();
    await worker.terminate();
    const terminateSeconds = (Date.now() - terminating) / 1000;
    const result = await searching;
    peerProcess.kill();
    return { result, terminateSeconds };
  },

  // A relay found on another machine, then linked to with "Com".
  async com(host, lc) {
    const peerProcess = await startPeer({ relay: true });
    checkPrivate(host, ['lo', 'vA'], ['127.0.0.1/8', `${LOCAL}/24`]);
    const { relays } = await find(lc, 'relay');
    const codes = [];
    const com = new lc.Com();
    const started = await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`codes ${codes}`)), 10000);
      const queued = com.start(relays[0], (unused, code) => {
        codes.push(code);
        if (code === 0) com.stop();
        if (code === 1) {
          clearTimeout(timer);
          resolve(queued);
        }
      });
    });
    peerProcess.kill();
    return { relays, started, codes };
  },
};

async function main() {
  const [name, arg] = process.argv.slice(2);
  if (name === 'peer') return peer(JSON.parse(arg));
  // Before any interface is touched: a namespace whose one interface is lo,
  // whatever the argument says.
  checkNamespace(arg);
  const found = require('./netns').interfaces();
  if (JSON.stringify(found) !== '["lo"]') throw new Error(`refusing to run: interfaces ${found}`);
  hostNamespace = arg;
  ip('link', 'set', 'lo', 'up');
  const lc = require(root);
  const result = await scenarios[name](arg, lc);
  process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
  process.exit(0);
}

main().catch((e) => {
  process.stderr.write(`${e.stack}\n`);
  process.exit(1);
});
