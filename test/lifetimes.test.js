'use strict';

// Script objects whose work is still running when the script lets go of
// them, and processes that exit with work in flight. Each runs in a child
// process (under the sanitizers too when this suite runs under them), which
// must end by itself, in time, with its exit code and no report.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const { spawn } = require('child_process');
const { root, exited } = require('./support/child');
const { tempDir, packageFile } = require('./support/transfers');
const { namespaceProblem, inPrivateNamespace } = require('./support/netns');

const relayPath = require.resolve('../lib/relay');
const peersPath = require.resolve('./support/peers');
const netnsPath = require.resolve('./support/netns');
// A child that outlasts this hangs. Sanitizer runs start node slowly, and
// far more slowly on a loaded machine.
const BOUND_MS = /asan/.test(process.env.LD_PRELOAD || '') ? 60000 : 30000;

const noNamespace = namespaceProblem();

// Runs `body` in a child with `lc`, `gc`, `delay`, `once`, `VirtualRelay`,
// `track(object)`, `collected` (how many tracked objects were collected),
// `onLink` (below) and the entries of `vars` in scope. With `privateNetwork`
// it runs in a network namespace of its own, where lo is the only interface.
async function runChild(body, vars, { privateNetwork = false } = {}) {
  const source = `
    ${privateNetwork ? `require(${JSON.stringify(netnsPath)}).enterPrivateNamespace(
      ${JSON.stringify(fs.readlinkSync('/proc/self/ns/net'))});` : ''}
    const lc = require(${JSON.stringify(root)});
    const { VirtualRelay } = require(${JSON.stringify(relayPath)});
    const { once } = require('events');
    require('v8').setFlagsFromString('--expose-gc');
    const gc = require('vm').runInNewContext('gc');
    const delay = (ms) => new Promise((r) => setTimeout(r, ms));
    ${Object.entries(vars).map(([k, v]) => `const ${k} = ${JSON.stringify(v)};`).join('\n')}
    const describe = (port) => ({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'x' });
    // Ten rounds; with \`all\`, more while tracked objects are still to go,
    // as a worker's own release may take a few turns of the loop. Not more
    // without it: work that ends by itself must not be given the time to
    // end before the objects it holds are counted.
    const collect = async (all = true) => {
      for (let i = 0; i < 10 || (all && collected < tracked && i < 100); i++) {
        gc();
        await delay(20);
      }
    };
    let collected = 0;
    let tracked = 0;
    const registry = new FinalizationRegistry(() => collected++);
    const track = (object) => { tracked++; registry.register(object, 0); return object; };
    let stopAll = () => {};
    // A file of \`size\` bytes, removed at exit. Made up here: a closure made
    // inside a kind's start would keep that scope's objects alive.
    let files = 0;
    const tempFile = (size) => {
      const f = require('path').join(require('os').tmpdir(),
        'lc-lifetime-' + process.pid + '-' + files++ + '.bin');
      require('fs').writeFileSync(f, Buffer.alloc(size, 7));
      process.on('exit', () => require('fs').rmSync(f, { force: true }));
      return f;
    };
    // A tracked Com linked to the relay on \`port\` that, at its first status,
    // starts work(com, report); the work calls report with what its callback
    // got each time it reports its end. With \`stop\` the Com stops at the
    // first report. Resolves with the reports once both the work and the Com
    // ended; the array stays live, so a late second report still shows.
    const onLink = (port, work, { stop = false } = {}) => new Promise((resolve) => {
      const reports = [];
      let linkEnded = false;
      const settle = () => { if (linkEnded && reports.length > 0) resolve(reports); };
      const com = track(new lc.Com());
      com.start(describe(port), (u, code) => {
        if (code === 0) {
          work(com, (what) => {
            reports.push(what);
            if (stop) com.stop();
            settle();
          });
        }
        if (code === 1) {
          linkEnded = true;
          settle();
        }
      });
    });
    ${body}
  `;
  const started = Date.now();
  const [command, args] = privateNetwork
    ? inPrivateNamespace([process.execPath, '-e', source])
    : [process.execPath, ['-e', source]];
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => (stdout += d));
  child.stderr.on('data', (d) => (stderr += d));
  const killer = setTimeout(() => child.kill('SIGKILL'), BOUND_MS);
  let at;
  const [code, signal] = await exited(child.once('exit', () => { at = Date.now(); }));
  clearTimeout(killer);
  return { code, signal, stdout, stderr, ms: at - started, at };
}

function checkClean(r, name, code = 0) {
  assert.strictEqual(r.signal, null, `${name}: killed after ${r.ms} ms\n${r.stderr}`);
  assert.strictEqual(r.code, code, `${name}\n${r.stderr}`);
  assert.doesNotMatch(r.stderr, /AddressSanitizer|runtime error|FATAL|Abort/, name);
}

const TOPOLOGY = `[
  { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
  { id: 1, type: 5, neighbours: [{ channel: 0, id: 0, child: 0 }] },
]`;

// Work of each class. `start` is a script expression, with the kind's own
// `relay` (options `relay` over a 10 ms status period and state 1) and
// `relayPort` in scope, that starts the work on objects it passes through
// track() and keeps no reference to; it evaluates to a promise that resolves
// with what the work reported when it completed. `ready` resolves once the
// work is under way; `end` makes it end from the relay's side, or is absent
// for work that ends by itself. While `held`, nothing tracked may be
// collected before the end; every tracked object must be collected after it.
// `exitOnly` work never ends in the child's time and is only part of the
// exit case; `privateNetwork` work greets every network.
const kinds = [
  {
    name: 'a Com with a live link',
    start: `new Promise((resolve) => {
      const codes = [];
      track(new lc.Com()).start(describe(relayPort), (u, c) => { codes.push(c); if (c === 1) resolve(codes); });
    })`,
    ready: `delay(200)`,
    end: `relay.disconnect()`,
    expect: [0, 1],
  },
  {
    name: 'a Com whose connect is pending',
    start: `track(new lc.Com()).start(describe(silentPort), () => {})`,
    ready: `delay(200)`,
    // Nothing ends it but the connect time-out.
    exitOnly: true,
  },
  {
    name: 'a Player playing on a Com, both dropped',
    start: `onLink(relayPort, (com, report) => {
      track(new lc.Player(com)).start(0, new lc.Topology(${TOPOLOGY}), 'video', true,
        () => report('ended'));
    })`,
    ready: `delay(300)`,
    end: `relay.disconnect()`,
    expect: ['ended'],
  },
  {
    name: 'a CustomApp running on a Com, both dropped',
    start: `onLink(relayPort, (com, report) => {
      track(new lc.CustomApp(com)).start((u, what) => { if (what === 'stop') report(what); });
    })`,
    ready: `delay(300)`,
    end: `relay.disconnect()`,
    expect: ['stop'],
  },
  {
    name: 'a ComBridge serving on a Com, both dropped',
    start: `onLink(relayPort, (com, report) => {
      // Nothing ends a bridge but its stop.
      const bridge = track(new lc.ComBridge(com));
      bridge.start((u, code) => { if (code === 1) report(code); }, { host: '127.0.0.1', port: 0 });
      stopAll = () => { bridge.stop(); com.stop(); };
    })`,
    ready: `delay(300)`,
    // The stopper holds both objects: let it go too.
    end: `stopAll(), (stopAll = () => {})`,
    expect: [1],
  },
  {
    name: 'a Topology updating from a Com, dropped',
    start: `onLink(relayPort, (com, report) => {
      track(new lc.Topology()).update('relay', 'quadra', com, report);
    }, { stop: true })`,
    // A relay without an installation answers the request with nothing: the
    // update reads status frames until its 10 s bound.
    ready: `relay.waitForFrame((f) => f.type === 2 && f.payload.length === 0, 20000)`,
    expect: [true],
  },
  {
    name: 'a Luminosity changing over a Com, dropped',
    start: `onLink(relayPort, (com, report) => {
      track(new lc.Luminosity(com)).changeTo(40, report);
    }, { stop: true })`,
    ready: `once(relay, 'command')`,
    held: false,
    expect: [false],
  },
  {
    name: 'an SdSender copying a file over a Com, dropped',
    start: `onLink(relayPort, (com, report) => {
      track(new lc.SdSender(com)).send(tempFile(20000), report);
    }, { stop: true })`,
    ready: `once(relay, 'sdstart')`,
    held: false,
    expect: [false],
  },
  {
    name: 'a Loader uploading a package over a Com, dropped',
    // Unchanged tiles: once the stream is out the upload waits 25 s for them.
    relay: { loaderReaction: 'none' },
    start: `onLink(relayPort, (com, report) => {
      const app = new lc.LcApp();
      app.openFromFile(packagePath);
      track(new lc.Loader(com)).send(app, report, () => {});
    })`,
    ready: `relay.waitForFrame((f) => f.type === 3, 20000)`,
    end: `relay.disconnect()`,
    expect: [true],
  },
  {
    name: 'a SimLoader copying a file over a Com, dropped',
    // The relay takes the first data frame and never acknowledges it.
    relay: { sdFault: 'stall-data' },
    start: `onLink(relayPort, (com, report) => {
      track(new lc.SimLoader(com)).send(tempFile(20000), report, () => {});
    })`,
    ready: `once(relay, 'sdstart')`,
    end: `relay.disconnect()`,
    expect: [true],
  },
  {
    name: 'a Changer waiting for the relay to switch, dropped',
    // The state word never moves: the change watches for 5 s.
    relay: { appDelay: -1 },
    start: `onLink(relayPort, (com, report) => {
      track(new lc.Changer(com)).changeTo(3, report);
    })`,
    ready: `once(relay, 'command')`,
    // The command went out, so the change is done however the watch ends.
    end: `relay.disconnect()`,
    expect: [false],
  },
  {
    name: 'a Reset waiting for the relay to reset, dropped',
    relay: { resetMode: 'ignore' },
    start: `onLink(relayPort, (com, report) => {
      track(new lc.Reset(com)).reset(report);
    })`,
    ready: `once(relay, 'command')`,
    // A relay that closes the link has reset.
    end: `relay.disconnect()`,
    expect: [false],
  },
  {
    name: 'a RelayFinder searching, dropped',
    // The relay answers greetings on 127.0.0.1; the search lasts until a
    // second passed without a reply.
    discovery: true,
    privateNetwork: true,
    start: `new Promise((resolve) => {
      const reports = [];
      track(new lc.RelayFinder()).start('relay', (u, relays) => {
        reports.push(relays.map((r) => r.type + ' ' + r.ip + ':' +
          (r.port === relayPort ? 'relay' : r.port) + ' ' + r.name));
        resolve(reports);
      });
    })`,
    ready: `once(relay.discovery, 'greeting')`,
    expect: [['TCPIP 127.0.0.1:relay Bench']],
  },
];

// The statements that give a kind its relay and start its work, leaving
// `relay`, the promise `ended` and the promise `ready` in scope.
function startKind(k) {
  return `
    const relay = new VirtualRelay({ period: 10, state: 1, ...${JSON.stringify(k.relay || {})} });
    const relayPort = await relay.start();
    ${k.discovery ? `await relay.startDiscovery({ name: 'Bench' });` : ''}
    const ended = (() => ${k.start})();
    const ready = ${k.ready};
  `;
}

// Shared by the children: a package of one 8 KB image, about 200 packets or
// a second of stream.
function packageVars(t) {
  const { file } = packageFile(tempDir(t), 'app', [{ tag: 'quadra', address: 0xa0000000,
    size: 8192 }]);
  return { packagePath: file };
}

// A few children at a time: a dozen sanitizer processes at once on a
// loaded machine outlast their bound on their start alone.
test('objects dropped while their work runs are collected safely', { concurrency: 3 }, async (t) => {
  const vars = packageVars(t);
  const runs = kinds.filter((k) => !k.exitOnly).map((k) => t.test(k.name, {
    skip: require('./support/skip').skipFor(k.privateNetwork && noNamespace
      ? `network namespaces unavailable, discovery not run: ${noNamespace}` : false),
  }, async () => {
    // Each child gets its own relay, so that `end` touches its link alone.
    const body = `
      (async () => {
        ${startKind(k)}
        await ready;
        await collect(false);
        const early = collected;
        ${k.end || ''};
        const result = await ended;
        await collect();
        console.log(JSON.stringify({ result, early, collected, tracked }));
        await relay.stop();
      })();
    `;
    const r = await runChild(body, vars, { privateNetwork: k.privateNetwork });
    checkClean(r, k.name);
    const out = JSON.parse(r.stdout);
    // Once: the reports were read after the objects went.
    assert.deepStrictEqual(out.result, k.expect, k.name);
    // Kept while the work ran, let go once it completed.
    if (k.held !== false) assert.strictEqual(out.early, 0, k.name);
    assert.ok(out.tracked > 0, k.name);
    assert.strictEqual(out.collected, out.tracked, k.name);
  }));
  await Promise.all(runs);
});

test('the process exits at once with every kind of work in flight', async (t) => {
  // Discovery runs only where the child has a network of its own.
  const inFlight = kinds.filter((k) => !k.privateNetwork || !noNamespace);
  if (noNamespace) t.diagnostic(`without discovery: network namespaces unavailable: ${noNamespace}`);
  const body = `
    (async () => {
      // The listener lives in a process of its own, in this child's network.
      const silent = await require(${JSON.stringify(peersPath)}).silentListener();
      process.on('exit', () => silent.close());
      const silentPort = silent.port;
      const readies = [];
      ${inFlight.map((k) => `await (async () => { ${startKind(k)} readies.push(ready); })();`)
    .join('\n')}
      await Promise.all(readies);
      await collect(false);
      require('fs').writeSync(1, 'exit at ' + Date.now() + '\\n');
      process.exit(7);
    })();
  `;
  const r = await runChild(body, packageVars(t), { privateNetwork: !noNamespace });
  checkClean(r, 'exit with work in flight', 7);
  // Far below the connect time-out that a pending connect would wait out,
  // and the waits of the commands and the upload.
  const exiting = r.at - Number(/exit at (\d+)/.exec(r.stdout)[1]);
  t.diagnostic(`the process was gone ${exiting} ms after its exit call`);
  assert.ok(exiting < 2000, `exiting took ${exiting} ms`);
});
