'use strict';

// The loader sink and the SD card of the virtual relay, driven by a plain
// client that writes the frames the module would.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const net = require('net');
const { VirtualRelay, FrameParser, encodeFrame } = require('..');
const { parseHex, packageImages } = require('../loader');

async function client(port) {
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  const c = { socket, data: [], statuses: [] };
  const parser = new FrameParser((f) => (f.type === 0 ? c.statuses : c.data).push(f.payload));
  socket.on('data', (chunk) => parser.push(chunk));
  c.closed = new Promise((resolve) => socket.on('close', resolve));
  c.send = (payload) => socket.write(encodeFrame(3, payload));
  return c;
}

async function until(predicate, timeoutMs = 3000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error('condition not met in time');
    await new Promise((r) => setTimeout(r, 5));
  }
}

// A loader packet: each field three times, little-endian.
function packet(command, selector, typeCode, argument, argument2 = 0) {
  const p = Buffer.alloc(128);
  for (let c = 0; c < 3; c++) {
    p[c] = command;
    p.writeUInt16LE(selector, 6 + 2 * c);
    p.writeUInt16LE(typeCode, 12 + 2 * c);
    p.writeUInt32LE(argument >>> 0, 18 + 4 * c);
    p.writeUInt32LE(argument2 >>> 0, 30 + 4 * c);
  }
  return p;
}

// The AppOnly stream of one image given as a Map of 1-KB blocks in RAM.
function appOnly(blocks, { announced } = {}) {
  const out = [packet(0x02, 0xffff, 0, announced ?? blocks.size)];
  for (const [address, bytes] of [...blocks].sort((a, b) => a[0] - b[0])) {
    out.push(packet(0x03, 0, 0x2013, address));
    for (let c = 0; c < 8; c++) {
      const chunk = bytes.subarray(c * 128, (c + 1) * 128);
      out.push(chunk, chunk, chunk);
    }
  }
  out.push(packet(0x05, 0, 0x2013, 0xa000f000, 0xa000fa00), packet(0x1e, 0xffff, 0, 0));
  return out;
}

function image() {
  const kb = (seed) => Buffer.from(Array.from({ length: 1024 }, (_, i) => (i * seed) & 0xff));
  return new Map([[0xa0000000, kb(3)], [0xa0000c00, kb(7)]]);
}

// One record line with its checksum.
function record(address, type, data) {
  const bytes = [data.length, address >> 8, address & 0xff, type, ...data];
  const sum = (0x100 - (bytes.reduce((a, b) => a + b, 0) & 0xff)) & 0xff;
  return `:${Buffer.from([...bytes, sum]).toString('hex').toUpperCase()}`;
}

test('parseHex places data records by their extended address', () => {
  const upper = record(0, 4, [0xa0, 0x00]);
  const data = record(0x0400, 0, [0xde, 0xad, 0xbe, 0xef]);
  const blocks = parseHex([upper, data, ':00000001FF'].join('\n'));
  assert.deepStrictEqual([...blocks.keys()], [0xa0000400]);
  const block = blocks.get(0xa0000400);
  assert.deepStrictEqual([...block.subarray(0, 5)], [0xde, 0xad, 0xbe, 0xef, 0xff]);
  assert.throws(() => parseHex(data.replace('DEAD', 'DEAE')), /checksum/);
  const doc = [{ name: 'varna', hex: [upper, record(0, 0, [1])] },
    { name: 'delta', hex: [upper, record(0, 0, [2])] }];
  assert.deepStrictEqual(packageImages(doc).map((m) => m.get(0xa0000000)[0]), [2, 1]);
});

test('a good stream is reassembled, compared and answered as set', async (t) => {
  for (const reaction of ['switch', 'none', 'close']) {
    const relay = new VirtualRelay({ period: 0, state: 4, loaderReaction: reaction });
    const port = await relay.start();
    t.after(() => relay.stop());
    relay.loader.expect([image()]);
    const c = await client(port);
    await relay.waitForClient();
    const done = new Promise((resolve) => relay.once('upload', resolve));
    for (const p of appOnly(image())) c.send(p);
    const result = await done;
    assert.strictEqual(result.ok, true, result.error);
    assert.strictEqual(result.matches, true);
    assert.strictEqual(result.units, 2);
    assert.strictEqual(result.packets, 2 * 25 + 3);
    if (reaction === 'switch') {
      await until(() => c.statuses.length > 0);
      assert.strictEqual(c.statuses[0].readUInt16LE(0), 5, reaction);
    } else if (reaction === 'close') {
      await c.closed;
    } else {
      await new Promise((r) => setTimeout(r, 50));
      assert.strictEqual(c.statuses.length, 0);
      assert.strictEqual(relay.status.state, 4);
    }
    c.socket.destroy();
  }
});

test('a faulty stream is refused and leaves the state word alone', async (t) => {
  const other = new Map([[0xa0000000, Buffer.alloc(1024, 9)]]);
  const cases = [
    ['wrong unit count', appOnly(image(), { announced: 3 }), /announced 3/],
    ['chunk copies differ', (() => {
      const s = appOnly(image());
      s[3] = Buffer.alloc(128, 1);
      return s;
    })(), /copies differ/],
    ['header copies differ', (() => {
      const s = appOnly(image());
      s[1] = Buffer.from(s[1]);
      s[1][20] ^= 1;
      return s;
    })(), /argument copies differ/],
    ['other images', appOnly(other), /differ from the expected/],
  ];
  for (const [name, stream, error] of cases) {
    const relay = new VirtualRelay({ period: 0, state: 4 });
    const port = await relay.start();
    t.after(() => relay.stop());
    relay.loader.expect([image()]);
    const c = await client(port);
    await relay.waitForClient();
    const done = new Promise((resolve) => relay.once('upload', resolve));
    for (const p of stream) c.send(p);
    const result = await done;
    assert.strictEqual(result.ok, false, name);
    assert.match(result.error, error, name);
    assert.strictEqual(relay.status.state, 4, name);
    c.socket.destroy();
  }
});

// A write-file frame: code 1, u32 size, u8 name length, the name.
function writeFile(size, name) {
  const p = Buffer.alloc(128);
  p[0] = 1;
  p.writeUInt32LE(size, 1);
  p[5] = Buffer.byteLength(name);
  p.write(name, 6, 'latin1');
  return p;
}

test('the SD card answers every step and stores the file', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vr-sd-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const relay = new VirtualRelay({ period: 0, sdDir: dir });
  const port = await relay.start();
  t.after(() => relay.stop());
  const c = await client(port);
  await relay.waitForClient();
  const file = Buffer.from(Array.from({ length: 4096 + 130 }, (_, i) => (i * 11) & 0xff));
  c.send(writeFile(file.length, 'clip.bin'));
  await until(() => c.data.length === 1);
  for (let off = 0; off < file.length; off += 128) {
    const chunk = Buffer.alloc(128);
    file.copy(chunk, 0, off, off + 128);
    c.send(chunk);
  }
  await until(() => c.data.length === 1 + 34 + 1);
  const codes = c.data.map((d) => [d[0], d.readUInt32LE(1)]);
  assert.deepStrictEqual(codes[0], [1, file.length]);
  assert.deepStrictEqual(codes[1], [1, file.length - 128]);
  assert.deepStrictEqual(codes[32], [3, 130]); // after 4096 bytes
  assert.deepStrictEqual(codes[34], [3, 0]);
  assert.deepStrictEqual(codes[35], [2, 0]);
  assert.ok(relay.sd.files.get('clip.bin').equals(file));
  assert.ok(fs.readFileSync(path.join(dir, 'clip.bin')).equals(file));

  // An empty file: Ready and Done at once.
  c.data.length = 0;
  c.send(writeFile(0, 'empty'));
  await until(() => c.data.length === 2);
  assert.deepStrictEqual(c.data.map((d) => d[0]), [1, 2]);
  assert.strictEqual(relay.sd.files.get('empty').length, 0);
  c.socket.destroy();
});

test('the SD card fails or stalls on demand', async (t) => {
  const cases = [
    ['fail-ready', 300, [4]],
    ['stall-ready', 300, []],
    ['fail-data', 300, [1, 4]],
    ['stall-received', 300, [1, 1, 1]],
    ['fail-done', 10, [1, 3, 4]],
  ];
  for (const [fault, size, codes] of cases) {
    const relay = new VirtualRelay({ period: 0, sdFault: fault });
    const port = await relay.start();
    t.after(() => relay.stop());
    const c = await client(port);
    await relay.waitForClient();
    c.send(writeFile(size, 'f'));
    if (codes[0] === 1) {
      await until(() => c.data.length > 0);
      for (let off = 0; off < size; off += 128) c.send(Buffer.alloc(128, 5));
    }
    await new Promise((r) => setTimeout(r, 100));
    assert.deepStrictEqual(c.data.map((d) => d[0]), codes, fault);
    assert.strictEqual(relay.sd.files.size, 0, fault);
    c.socket.destroy();
  }
  assert.throws(() => new VirtualRelay({ sdFault: 'fail-later' }), /unknown SD fault/);
});

test('a fault after N block frames stops the relay in the middle of a transfer', async (t) => {
  for (const fault of ['silence', 'close']) {
    const relay = new VirtualRelay({ period: 10 });
    const port = await relay.start();
    t.after(() => relay.stop());
    const c = await client(port);
    await relay.waitForClient();
    await until(() => c.statuses.length > 0);
    // The write-file frame and two data frames are answered; nothing after.
    relay.faultAfterBlocks(3, fault);
    c.send(writeFile(1280, 'f'));
    await until(() => c.data.length === 1);
    for (let i = 0; i < 5; i++) c.send(Buffer.alloc(128, i));
    if (fault === 'close') {
      await c.closed;
    } else {
      await until(() => relay.received.length === 6);
      const statuses = c.statuses.length;
      await new Promise((r) => setTimeout(r, 100));
      assert.strictEqual(c.statuses.length, statuses, 'no status frame while silent');
      assert.strictEqual(c.socket.destroyed, false, 'the connection stays open');
      relay.resume();
      await until(() => c.statuses.length > statuses);
    }
    assert.deepStrictEqual(c.data.map((d) => [d[0], d.readUInt32LE(1)]),
      [[1, 1280], [1, 1152], [1, 1024]], fault);
    assert.strictEqual(relay.blockFault, null, 'played once');
    c.socket.destroy();
  }
  const relay = new VirtualRelay();
  assert.throws(() => relay.faultAfterBlocks(0, 'close'), RangeError);
  assert.throws(() => relay.faultAfterBlocks(1, 'later'), /unknown block fault/);
});
