'use strict';

const test = require('node:test');
const assert = require('node:assert');
const net = require('net');
const { VirtualRelay, FrameParser, encodeFrame, moduleRecords, gridInstallation } =
  require('..');

const small = [
  { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
  { id: 1, type: 4, neighbours: [{ channel: 0, id: 0, child: 0 }, { channel: 2, id: 2, child: 1 }] },
  { id: 2, type: 4, neighbours: [{ channel: 0, id: 1, child: 0 }] },
];

const words = (record) => Array.from({ length: record.length / 2 }, (_, i) => record.readUInt16LE(2 * i));

test('records: total, id, a kind and a neighbour id per channel', () => {
  const records = moduleRecords(small);
  assert.deepStrictEqual(records.map(words), [
    [3, 0, 2, 0, 0, 0, 1, 0, 0, 0],
    [3, 1, 1, 0, 2, 0, 0, 0, 2, 0],
    [3, 2, 1, 0, 0, 0, 1, 0, 0, 0],
  ]);
  // Triangles have six channels; a wrong total goes in every record.
  const delta = moduleRecords([{ id: 0, type: 'relay', neighbours: [] },
    { id: 1, type: 'delta', neighbours: [{ channel: 5, id: 0, child: 0 }] }], { wrongTotal: 7 });
  assert.deepStrictEqual(delta.map(words)[1], [7, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0]);
});

test('grid installations list every link on both sides with one parent per tile', () => {
  const doc = gridInstallation(6, 5);
  assert.strictEqual(doc.length, 31);
  const parents = new Map();
  for (const m of doc) {
    for (const n of m.neighbours) {
      const back = doc[n.id].neighbours.find((x) => x.id === m.id);
      assert.ok(back, `${m.id} -> ${n.id} listed back`);
      assert.strictEqual(back.channel, m.id === 0 || n.id === 0 ? 0 : (n.channel + 2) % 4);
      if (n.child) {
        assert.ok(!parents.has(n.id));
        parents.set(n.id, m.id);
      }
    }
  }
  assert.strictEqual(parents.size, 30);
  // A type per tile, by tag or id, gives the same document as one for all.
  assert.deepStrictEqual(gridInstallation(2, 1, (id) => (id % 2 ? 'varna' : 6)), gridInstallation(2, 1, 'varna'));
});

async function ask(relay) {
  const socket = net.connect(relay.port, '127.0.0.1');
  await new Promise((resolve) => socket.once('connect', resolve));
  const frames = [];
  const parser = new FrameParser((f) => f.type !== 0 && frames.push(f));
  socket.on('data', (chunk) => parser.push(chunk));
  socket.write(encodeFrame(2));
  return { socket, frames };
}

test('a request is answered with the cycle in data frames, as configured', async () => {
  const cases = [
    { name: 'defaults', options: {}, type: 1, ids: [0, 1, 2, 0, 1, 2, 0, 1, 2], perFrame: 8 },
    { name: 'one record a frame from the middle', type: 2,
      options: { recordsPerFrame: 1, startAt: 2, cycles: 2, dataType: 2 },
      ids: [2, 0, 1, 2, 0, 1], perFrame: 1 },
    { name: 'a gap', options: { gap: 1, cycles: 2 }, type: 1, ids: [0, 2, 0, 2], perFrame: 8 },
    { name: 'paced frames', options: { frameInterval: 5, recordsPerFrame: 2, cycles: 1 }, type: 1,
      ids: [0, 1, 2], perFrame: 2 },
  ];
  for (const k of cases) {
    const relay = new VirtualRelay({ period: 0, installation: small, ...k.options });
    await relay.start();
    try {
      const { socket, frames } = await ask(relay);
      const expected = Math.ceil(k.ids.length / k.perFrame);
      const deadline = Date.now() + 2000;
      while (frames.length < expected && Date.now() < deadline) {
        await new Promise((r) => setTimeout(r, 5));
      }
      assert.strictEqual(frames.length, expected, k.name);
      assert.ok(frames.every((f) => f.type === k.type), k.name);
      const ids = [];
      for (const f of frames) for (let at = 0; at < f.payload.length; at += 20) ids.push(f.payload.readUInt16LE(at + 2));
      assert.deepStrictEqual(ids, k.ids, k.name);
      assert.strictEqual(relay.records.requests, 1);
      socket.destroy();
    } finally {
      await relay.stop();
    }
  }
});
