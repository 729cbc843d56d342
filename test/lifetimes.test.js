'use strict';

// Script objects whose work is still running when the script lets go of
// them, and processes that exit with work in flight. Each runs in a child
// process (under the sanitizers too when this suite runs under them), which
// must end by itself, in time, with its exit code and no report.

const test = require('node:test');
const assert = require('node:assert');
const { spawn } = require('child_process');
const { VirtualRelay } = require('../tools/virtual-relay');
const { root } = require('./support/child');
const { silentListener } = require('./support/peers');

const relayPath = require.resolve('../tools/virtual-relay');
const BOUND_MS = 30000;

// Runs `body` in a child with `lc`, `gc`, `delay`, `relayPort`, `silentPort`
// (a listener that never accepts), `track(object)` and `collected` (how many
// tracked objects were collected) in scope.
async function runChild(body, ports) {
  const source = `
    const lc = require(${JSON.stringify(root)});
    require('v8').setFlagsFromString('--expose-gc');
    const gc = require('vm').runInNewContext('gc');
    const delay = (ms) => new Promise((r) => setTimeout(r, ms));
    const relayPort = ${ports.relay};
    const silentPort = ${ports.silent};
    const describe = (port) => ({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'x' });
    // At least five rounds; more while tracked objects are still to go, as
    // a worker's own release may take a few turns of the loop.
    const collect = async () => {
      for (let i = 0; i < 5 || (collected < tracked && i < 100); i++) { gc(); await delay(20); }
    };
    let collected = 0;
    let tracked = 0;
    const registry = new FinalizationRegistry(() => collected++);
    const track = (object) => { tracked++; registry.register(object, 0); return object; };
    let stopAll = () => {};
    // A file of \`size\` bytes, removed at exit. Made up here: a closure made
    // inside a kind's start would keep that scope's objects alive.
    const tempFile = (size) => {
      const f = require('path').join(require('os').tmpdir(), 'lc-lifetime-' + process.pid + '.bin');
      require('fs').writeFileSync(f, Buffer.alloc(size, 7));
      process.on('exit', () => require('fs').rmSync(f, { force: true }));
      return f;
    };
    ${body}
  `;
  const started = Date.now();
  const child = spawn(process.execPath, ['-e', source], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => (stdout += d));
  child.stderr.on('data', (d) => (stderr += d));
  const killer = setTimeout(() => child.kill('SIGKILL'), BOUND_MS);
  const [code, signal] = await new Promise((resolve) => child.on('exit', (c, s) => resolve([c, s])));
  clearTimeout(killer);
  return { code, signal, stdout, stderr, ms: Date.now() - started };
}

function checkClean(r, name, code = 0) {
  assert.strictEqual(r.signal, null, `${name}: killed after ${r.ms} ms\n${r.stderr}`);
  assert.strictEqual(r.code, code, `${name}\n${r.stderr}`);
  assert.doesNotMatch(r.stderr, /AddressSanitizer|runtime error|FATAL|Abort/, name);
}

// Work of each class: `start` is a script expression that starts the work on
// objects it passes through track() and keeps no reference to; it evaluates
// to a promise that resolves with what the work reported when it completes.
// `ready` resolves once the work is under way, `end` makes it end from the
// relay's side (or nothing, for work that `endsByItself`). Every tracked object must be collected once the work ended.
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
    start: `new Promise((resolve) => {
      const codes = [];
      track(new lc.Com()).start(describe(silentPort), (u, c) => { codes.push(c); if (c === 1) resolve(codes); });
    })`,
    ready: `delay(200)`,
    // Nothing ends it but the connect time-out; the exit case covers it.
    end: null,
  },
  {
    name: 'a Player playing on a Com, both dropped',
    start: `new Promise((resolve) => {
      const ends = [];
      const com = track(new lc.Com());
      com.start(describe(relayPort), (u, c) => {
        if (c === 0) {
          const top = new lc.Topology([
            { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
            { id: 1, type: 5, neighbours: [{ channel: 0, id: 0, child: 0 }] },
          ]);
          track(new lc.Player(com)).start(0, top, 'video', true, () => {
            ends.push('player');
            if (ends.length === 2) resolve(ends.sort());
          });
        }
        if (c === 1) {
          ends.push('com');
          if (ends.length === 2) resolve(ends.sort());
        }
      });
    })`,
    ready: `delay(300)`,
    end: `relay.disconnect()`,
    expect: ['com', 'player'],
  },
  {
    name: 'a CustomApp running on a Com, both dropped',
    start: `new Promise((resolve) => {
      const ends = [];
      const com = track(new lc.Com());
      com.start(describe(relayPort), (u, c) => {
        if (c === 0) {
          track(new lc.CustomApp(com)).start((u2, what) => {
            if (what !== 'stop') return;
            ends.push('app');
            if (ends.length === 2) resolve(ends.sort());
          });
        }
        if (c === 1) {
          ends.push('com');
          if (ends.length === 2) resolve(ends.sort());
        }
      });
    })`,
    ready: `delay(300)`,
    end: `relay.disconnect()`,
    expect: ['app', 'com'],
  },
  {
    name: 'a ComBridge serving on a Com, both dropped',
    start: `new Promise((resolve) => {
      const ends = [];
      const done = (what) => { ends.push(what); if (ends.length === 2) resolve(ends.sort()); };
      const com = track(new lc.Com());
      com.start(describe(relayPort), (u, c) => {
        if (c === 1) done('com');
        if (c !== 0) return;
        // Nothing ends a bridge but its stop.
        const bridge = track(new lc.ComBridge(com));
        bridge.start((u2, code) => { if (code === 1) done('bridge'); },
          { host: '127.0.0.1', port: 0 });
        stopAll = () => { bridge.stop(); com.stop(); };
      });
    })`,
    ready: `delay(300)`,
    // The stopper holds both objects: let it go too.
    end: `stopAll(), (stopAll = () => {})`,
    expect: ['bridge', 'com'],
  },
  {
    name: 'a Topology updating from a Com, dropped',
    start: `new Promise((resolve) => {
      let result;
      const com = track(new lc.Com());
      com.start(describe(relayPort), (u, c) => {
        if (c === 0) {
          track(new lc.Topology()).update('relay', 'quadra', com, (failed) => {
            result = [typeof failed];
            com.stop();
          });
        }
        if (c === 1) resolve(result);
      });
    })`,
    ready: `delay(10)`,
    end: `0`,
    endsByItself: true,
    expect: ['boolean'],
  },
  {
    name: 'a Luminosity changing over a Com, dropped',
    start: `new Promise((resolve) => {
      let result;
      const com = track(new lc.Com());
      com.start(describe(relayPort), (u, c) => {
        if (c === 0) {
          track(new lc.Luminosity(com)).changeTo(40, (failed) => {
            result = [failed];
            com.stop();
          });
        }
        if (c === 1) resolve(result);
      });
    })`,
    ready: `delay(10)`,
    end: `0`,
    endsByItself: true,
    expect: [false],
  },
  {
    name: 'an SdSender copying a file over a Com, dropped',
    start: `new Promise((resolve) => {
      const file = tempFile(20000);
      let result;
      const com = track(new lc.Com());
      com.start(describe(relayPort), (u, c) => {
        if (c === 0) {
          track(new lc.SdSender(com)).send(file, (failed) => {
            result = [failed];
            com.stop();
          });
        }
        if (c === 1) resolve(result);
      });
    })`,
    ready: `delay(10)`,
    end: `0`,
    endsByItself: true,
    expect: [false],
  },
];

test('objects dropped while their work runs are collected safely', { concurrency: true }, async (t) => {
  const runs = kinds.filter((k) => k.end !== null).map((k) => t.test(k.name, async () => {
    // Each child gets its own relay, so that `end` touches its link alone.
    const body = `
      const { VirtualRelay } = require(${JSON.stringify(relayPath)});
      (async () => {
        const relay = new VirtualRelay({ period: 10, state: 1 });
        const relayPort = await relay.start();
        const ended = (() => ${k.start})();
        await ${k.ready};
        await collect();
        const early = collected;
        ${k.end};
        const result = await ended;
        await collect();
        console.log(JSON.stringify({ result, early, collected, tracked }));
        await relay.stop();
      })();
    `;
    const r = await runChild(body, { relay: 0, silent: 0 });
    checkClean(r, k.name);
    const out = JSON.parse(r.stdout);
    assert.deepStrictEqual(out.result, k.expect, k.name);
    // Kept while the work ran, let go once it completed.
    if (!k.endsByItself) assert.strictEqual(out.early, 0, k.name);
    assert.ok(out.tracked > 0, k.name);
    assert.strictEqual(out.collected, out.tracked, k.name);
  }));
  await Promise.all(runs);
});

test('the process exits at once with every kind of work in flight', async (t) => {
  const relay = new VirtualRelay({ period: 10, state: 1 });
  await relay.start();
  t.after(() => relay.stop());
  const silent = await silentListener();
  t.after(() => silent.close());
  const body = `
    (async () => {
      ${kinds.map((k) => `(() => ${k.start})();`).join('\n')}
      await Promise.all([${kinds.map((k) => k.ready).join(', ')}]);
      await collect();
      process.exit(7);
    })();
  `;
  const r = await runChild(body, { relay: relay.port, silent: silent.port });
  checkClean(r, 'exit with work in flight', 7);
  // Far below the connect time-out that a pending connect would wait out.
  assert.ok(r.ms < 8000, `took ${r.ms} ms`);
});
