'use strict';

// A "Com" against relays that misbehave: each scenario checks the codes the
// callback gets and how long the run takes against the link's documented
// bounds (3 s of silence, 10 s to connect); afterwards no descriptor or
// thread of any scenario may be left. The scenarios run side by side, so
// the suite costs about its longest bound.

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');
const { VirtualRelay, encodeFrame, statusPayload } = require('../tools/virtual-relay');
const { codeRecorder, delay, eventually } = require('./support/codes');
const { quiesce, settleTo } = require('./support/resources');
const { silentListener, refusingPort } = require('./support/peers');

const describe = (port) => ({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'x' });

const SILENCE_MS = 3000;
const CONNECT_MS = 10000;
// What a loaded machine, or a sanitizer build, may add to a bound.
const SLACK_MS = 4000;

const header = (type, length) => {
  const h = Buffer.alloc(4);
  h.writeUInt16LE(type, 0);
  h.writeUInt16LE(length, 2);
  return h;
};

// The link is still in step with the stream when it reads the version of a
// status frame sent after the fault.
async function stillInStep(relay, com) {
  const version = relay.status.version + 1;
  relay.set({ version });
  await eventually(() => com.getVersion() === version, SLACK_MS);
}

// Each: the fault, done once the link is up, and then either the link ends
// by itself (codes [0, 1], within `bound` ms and not before `notBefore`), or
// it stays in step and a stop ends it (`codes`, [0, 1] unless given: a close
// frame ends the reports, a status frame with another state adds a 2).
const linkScenarios = [
  { name: 'close mid-header', fault: (relay) => relay.closeMidHeader(), ends: true, bound: 0 },
  { name: 'close mid-payload', fault: (relay) => relay.closeMidPayload(), ends: true, bound: 0 },
  {
    name: 'a header announcing 65535 bytes, then silence',
    fault: (relay) => {
      relay.stall();
      relay.sendRaw(header(2, 65535));
    },
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'a header and half its payload, then silence',
    fault: (relay) => {
      relay.stall();
      relay.sendRaw(encodeFrame(1, Buffer.alloc(3000, 9)).subarray(0, 1504));
    },
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'the relay stops answering',
    fault: (relay) => relay.stall(),
    ends: true,
    notBefore: SILENCE_MS - 500,
    bound: SILENCE_MS,
  },
  {
    name: 'the relay resets the connection',
    fault: (relay) => {
      for (const s of relay.sockets) s.resetAndDestroy();
    },
    ends: true,
    bound: 0,
  },
  {
    name: 'unknown frame types, empty or not',
    fault: (relay) => {
      for (const type of [4, 5, 6, 7, 0x00ff, 0x0100, 0x7fff, 0xffff]) {
        relay.sendUnknown(type, Buffer.alloc(type & 0x3ff, type & 0xff));
        relay.sendUnknown(type, Buffer.alloc(0));
      }
    },
    ends: false,
  },
  {
    name: 'empty and largest status and data frames',
    fault: (relay) => {
      for (const type of [0, 1, 2]) {
        relay.sendEmpty(type);
        relay.sendLargest(type);
      }
    },
    ends: false,
    // States 0 (empty) and 0x0100 (the largest's first bytes), then 1 again.
    codes: [0, 2, 2, 2, 1],
  },
  {
    name: 'close frames',
    fault: (relay) => {
      for (let i = 0; i < 10; i++) relay.sendClose();
    },
    ends: false,
  },
  {
    name: 'status payloads of every length from 0 to 40 bytes',
    fault: (relay) => {
      for (let n = 0; n <= 40; n++) {
        const p = Buffer.alloc(n, 0);
        statusPayload(relay.status).copy(p);
        relay.sendFrame(0, p);
      }
    },
    ends: false,
    // No bytes give state 0, one byte gives the low byte of 1, then 1 on.
    codes: [0, 2, 2, 1],
  },
];

async function runLinkScenario(s) {
  const relay = new VirtualRelay({ period: 20, state: 1 });
  await relay.start();
  try {
    const com = new lc.Com();
    const r = codeRecorder();
    assert.strictEqual(com.start(describe(relay.port), r.callback), true);
    await r.until((c) => c.length === 1);
    const faulted = Date.now();
    s.fault(relay);
    if (s.ends) {
      await r.ended(s.bound + SLACK_MS);
      const took = Date.now() - faulted;
      if (s.notBefore) assert.ok(took >= s.notBefore, `${s.name}: ended after ${took} ms`);
      assert.deepStrictEqual(r.codes, [0, 1], s.name);
      assert.strictEqual(com.ready(), false, s.name);
      assert.strictEqual(com.stop(), false, s.name);
    } else {
      await stillInStep(relay, com);
      assert.strictEqual(com.ready(), true, s.name);
      assert.strictEqual(com.stop(), true, s.name);
      await r.ended(SLACK_MS);
      assert.deepStrictEqual(r.codes, s.codes || [0, 1], s.name);
    }
    await relay.waitForDisconnect(SLACK_MS);
  } finally {
    await relay.stop();
  }
}

// A stream of status frames far faster than any relay sends them, the state
// changing with each: every change is reported, in order, none lost.
async function runFlood() {
  const relay = new VirtualRelay({ period: 20, state: 1 });
  await relay.start();
  try {
    const com = new lc.Com();
    const r = codeRecorder();
    com.start(describe(relay.port), r.callback);
    await r.until((c) => c.length === 1);
    // Even, so the flood ends on the periodic frames' state: no change after.
    const n = 2000;
    const frames = [];
    for (let i = 0; i < n; i++) {
      frames.push(encodeFrame(0, statusPayload({ ...relay.status, state: i % 2 === 0 ? 2 : 1 })));
    }
    relay.sendRaw(Buffer.concat(frames));
    await r.until((c) => c.length === 1 + n, 30000);
    assert.ok(r.codes.slice(1).every((c) => c === 2));
    com.stop();
    await r.ended();
    assert.strictEqual(r.codes.length, n + 2);
  } finally {
    await relay.stop();
  }
}

// Connects that fail: each ends with code 1 alone.
const connectScenarios = [
  {
    name: 'a refused connection',
    peer: async () => ({ port: await refusingPort(), close: async () => {} }),
    bound: 0,
  },
  {
    name: 'a connect that stays pending, stopped',
    peer: silentListener,
    stopAfter: 300,
    bound: 0,
  },
  {
    name: 'a connect that stays pending until its time-out',
    peer: silentListener,
    notBefore: CONNECT_MS - 500,
    bound: CONNECT_MS,
  },
];

async function runConnectScenario(s) {
  const peer = await s.peer();
  try {
    const com = new lc.Com();
    const r = codeRecorder();
    const started = Date.now();
    assert.strictEqual(com.start(describe(peer.port), r.callback), true);
    let from = started;
    if (s.stopAfter) {
      await delay(s.stopAfter);
      assert.deepStrictEqual(r.codes, [], `${s.name}: still connecting`);
      from = Date.now();
      assert.strictEqual(com.stop(), true);
    }
    await r.ended(s.bound + SLACK_MS);
    const took = Date.now() - from;
    if (s.notBefore) assert.ok(took >= s.notBefore, `${s.name}: ended after ${took} ms`);
    assert.deepStrictEqual(r.codes, [1], s.name);
    assert.strictEqual(com.ready(), false);
  } finally {
    await peer.close();
  }
}

test('a Com against relays that misbehave', { concurrency: true }, async (t) => {
  // A first run opens what the runtime keeps for good (pool threads, the
  // inspector's pipes); counts are taken after it.
  await runLinkScenario(linkScenarios[0]);
  const baseline = await quiesce();

  const runs = [
    ...linkScenarios.map((s) => t.test(s.name, () => runLinkScenario(s))),
    t.test('a status flood with a change in every frame', runFlood),
    ...connectScenarios.map((s) => t.test(s.name, () => runConnectScenario(s))),
  ];
  await Promise.all(runs);

  const after = await settleTo(baseline);
  assert.deepStrictEqual(after, baseline, 'descriptors and threads after every scenario');
});

// A relay with two sensor tiles and a playback of it running on a Com.
const twoTiles = [
  { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
  { id: 1, type: 5, neighbours: [{ channel: 0, id: 0, child: 0 }, { channel: 1, id: 2, child: 1 }] },
  { id: 2, type: 5, neighbours: [{ channel: 3, id: 1, child: 0 }] },
];

async function playing(relay) {
  const com = new lc.Com();
  const codes = codeRecorder();
  assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
  await codes.until((c) => c.length === 1);
  const player = new lc.Player(com);
  const calls = codeRecorder();
  player.start(0, new lc.Topology(twoTiles), 'video', true, () => calls.callback(undefined, 'end'));
  await eventually(() => player.getCounters().framesSent > 0, SLACK_MS);
  return { com, codes, player, calls };
}

const PLAYER_SILENCE_MS = 2000;

// Each: the fault, once frames flow; the playback then ends by itself
// (within `bound`, not before `notBefore`), or plays on until a stop.
const playerScenarios = [
  {
    name: 'the relay stops answering',
    fault: (relay) => relay.stall(),
    ends: true,
    notBefore: PLAYER_SILENCE_MS - 500,
    bound: PLAYER_SILENCE_MS,
  },
  {
    name: 'the relay resets during a playback',
    fault: (relay) => {
      for (const s of relay.sockets) s.resetAndDestroy();
    },
    ends: true,
    bound: 0,
  },
  { name: 'close mid-payload', fault: (relay) => relay.closeMidPayload(), ends: true, bound: 0 },
  { name: 'the Com is stopped under it', fault: (relay, p) => p.com.stop(), ends: true, bound: 0 },
  {
    name: 'a status flood',
    fault: (relay) => relay.flood(5000),
    ends: false,
  },
  {
    name: 'sensor records of every length, out of order, and unknown frames',
    fault: (relay) => {
      for (let n = 0; n < 300; n += 7) {
        const p = Buffer.alloc(n);
        for (let i = 0; i < n; i++) p[i] = (i * 29 + n) & 0xff;
        relay.sendData(p, n % 2 === 0);
        relay.sendUnknown(9 + n, p);
      }
      relay.sendLargest(1);
    },
    ends: false,
  },
];

async function runPlayerScenario(s) {
  const relay = new VirtualRelay({ period: 10, state: 1 });
  await relay.start();
  try {
    const p = await playing(relay);
    const faulted = Date.now();
    s.fault(relay, p);
    if (s.ends) {
      await p.calls.until((c) => c.length === 1, s.bound + SLACK_MS);
      const took = Date.now() - faulted;
      if (s.notBefore) assert.ok(took >= s.notBefore, `${s.name}: ended after ${took} ms`);
      p.com.stop();
      await p.codes.ended(SILENCE_MS + SLACK_MS);
    } else {
      const sent = p.player.getCounters().framesSent;
      await eventually(() => p.player.getCounters().framesSent > sent + 10, SLACK_MS);
      assert.deepStrictEqual(p.calls.codes, [], `${s.name}: still playing`);
      p.player.stop();
      await p.calls.until((c) => c.length === 1, SLACK_MS);
      p.com.stop();
      await p.codes.ended(SLACK_MS);
    }
    // One end, and a later stop leaves nothing for a next playback.
    p.player.stop();
    assert.deepStrictEqual(p.calls.codes, ['end'], s.name);
    await relay.waitForDisconnect(SLACK_MS);
  } finally {
    await relay.stop();
  }
}

test('a Player against relays that misbehave', { concurrency: true }, async (t) => {
  await runPlayerScenario(playerScenarios[1]);
  const baseline = await quiesce();
  await Promise.all(playerScenarios.map((s) => t.test(s.name, () => runPlayerScenario(s))));
  const after = await settleTo(baseline);
  assert.deepStrictEqual(after, baseline, 'descriptors and threads after every scenario');
});
