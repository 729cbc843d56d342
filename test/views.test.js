'use strict';

// The terminal picture, the PNG and the page's server, from a scene of LEDs
// and their colours.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const http = require('http');
const { PNG } = require('pngjs');
const WebSocket = require('ws');
const { render } = require('../lib/view/terminal');
const { writePng } = require('../lib/view/png');
const { outline, ledColour } = require('../lib/view/scene');
const { startRelay } = require('../lib/relay');

const RED = [255, 0, 0];
const BLUE = [0, 0, 255];
const GREEN = [0, 255, 0];

// Two tiles side by side: a column of two LEDs and a single LED, with a gap.
const scene = {
  width: 4,
  height: 2,
  tiles: [
    { id: 1, type: 4, leds: [[0, 0], [0, 1]], outline: [] },
    { id: 2, type: 4, leds: [[2.5, 0.2]], outline: [] },
  ],
};

test('the terminal picture has one block per LED, two rows per line, in 24-bit colour', () => {
  const text = render(scene, [[RED, BLUE], [GREEN]]);
  const lines = text.split('\n');
  assert.strictEqual(lines.length, 1);
  // Column 0: red above blue; column 1: no LED; column 2: green above nothing.
  assert.ok(lines[0].includes('\x1b[38;2;255;0;0m\x1b[48;2;0;0;255m\u2580'), JSON.stringify(lines[0]));
  assert.ok(lines[0].includes('\x1b[0m \x1b[0m\x1b[38;2;0;255;0m\u2580'), JSON.stringify(lines[0]));
  assert.ok(lines[0].endsWith('\x1b[0m'));
  // A LED never lit is drawn dim, not left out.
  assert.match(render(scene, [[null, BLUE], []]), /\x1b\[38;2;40;40;40m\x1b\[48;2;0;0;255m/);
});

test('the PNG shows each LED as a block of its colour at its place', () => {
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'lc-png-')), 'p.png');
  writePng(file, scene, [[RED, BLUE], [GREEN]], 6);
  const png = PNG.sync.read(fs.readFileSync(file));
  assert.deepStrictEqual([png.width, png.height], [18, 12]);
  const at = (x, y) => [...png.data.subarray(4 * (y * png.width + x), 4 * (y * png.width + x) + 3)];
  assert.deepStrictEqual(at(3, 3), RED);
  assert.deepStrictEqual(at(3, 9), BLUE);
  assert.deepStrictEqual(at(15, 3), GREEN);
  assert.deepStrictEqual(at(9, 3), [0, 0, 0]); // no LED in column 1
  assert.deepStrictEqual(at(0, 0), [0, 0, 0]); // the gap around a block
});

test('LED values of each mode become colours; outlines enclose their LEDs', () => {
  const cases = [
    [[10, 20, 30], 'video', [10, 20, 30]],
    [[77], 'video', [77, 77, 77]],
    [[1, 0, 1], 'rgb', [255, 0, 255]],
    [[1], 'mask', [255, 255, 255]],
    [[0], 'mask', [0, 0, 0]],
    [undefined, 'video', null],
  ];
  for (const [value, mode, colour] of cases) assert.deepStrictEqual(ledColour(value, mode), colour, `${mode} ${value}`);

  const leds = [[0, 0], [9, 0], [0, 9], [9, 9], [4, 4]];
  const box = outline(leds);
  assert.strictEqual(box.length, 4); // the inner LED is no corner
  for (const [x, y] of box) assert.ok((x < 0 || x > 9) && (y < 0 || y > 9), `${x},${y} lies outside`);
});

function get(url) {
  return new Promise((resolve, reject) => {
    http.get(url, (res) => {
      let body = '';
      res.on('data', (d) => (body += d));
      res.on('end', () => resolve({ status: res.statusCode, type: res.headers['content-type'], body }));
    }).on('error', reject);
  });
}

test('the live view serves its page on 127.0.0.1 and sends the scene and status', { timeout: 20000 }, async (t) => {
  const host = await startRelay({ web: true, period: 20, state: 4, version: 0x00020103 });
  t.after(() => host.stop());
  const { url, port } = host.web;
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/$/);
  const page = await get(url);
  assert.strictEqual(page.status, 200);
  assert.match(page.type, /text\/html/);
  assert.match(page.body, /<canvas id="leds"/);
  assert.strictEqual((await get(`${url}view.js`)).status, 200);
  assert.strictEqual((await get(`${url}../../package.json`)).status, 404);

  const socket = new WebSocket(`ws://127.0.0.1:${port}/`);
  t.after(() => socket.terminate());
  const messages = [];
  await new Promise((resolve, reject) => {
    socket.on('error', reject);
    socket.on('message', (data, binary) => {
      messages.push(binary ? data : JSON.parse(data));
      const kinds = messages.map((m) => (Buffer.isBuffer(m) ? 'colours' : m.kind));
      const sceneMessage = messages.find((m) => m.kind === 'scene');
      // Without an installation placed, there are no colours to send.
      const wanted = sceneMessage && !sceneMessage.scene ? ['scene', 'status'] : ['scene', 'status', 'colours'];
      if (wanted.every((k) => kinds.includes(k))) resolve();
    });
  });
  const sceneMessage = messages.find((m) => m.kind === 'scene');
  if (sceneMessage.scene) {
    assert.strictEqual(sceneMessage.scene.tiles.length, 12);
    const leds = sceneMessage.scene.tiles.reduce((n, tile) => n + tile.leds.length, 0);
    assert.strictEqual(messages.find(Buffer.isBuffer).length, 4 * leds);
  }
  const { status } = messages.find((m) => m.kind === 'status');
  assert.strictEqual(status.state, 4);
  assert.strictEqual(status.version, 0x00020103);
});

test('the live view of a show draws every relay\'s screen at its place on one canvas', { timeout: 20000 }, async (t) => {
  const { startShowView } = require('../lib/view/web');
  const { sceneOf } = require('../lib/view/scene');
  const hosts = await Promise.all([0, 1].map(() => startRelay({ period: 20 })));
  const view = await startShowView([
    { relay: hosts[0].relay, name: 'a', at: [0, 0], angle: 0 },
    { relay: hosts[1].relay, name: 'b', at: [10, 2], angle: 90 },
  ]);
  t.after(async () => {
    await view.close();
    await Promise.all(hosts.map((h) => h.stop()));
  });
  const socket = new WebSocket(`ws://127.0.0.1:${view.port}/`);
  t.after(() => socket.terminate());
  const { scene: canvas } = await new Promise((resolve, reject) => {
    socket.on('error', reject);
    socket.on('message', (data, binary) => {
      if (!binary && JSON.parse(data).kind === 'scene') resolve(JSON.parse(data));
    });
  });
  // The sample is W x H unturned, H x W at 90 degrees.
  const { width: w, height: h } = sceneOf(hosts[0].relay);
  assert.deepStrictEqual([canvas.width, canvas.height], [Math.max(w, 10 + h), Math.max(h, 2 + w)]);
  assert.strictEqual(canvas.tiles.length, 24);
  const of = (name) => canvas.tiles.filter((tile) => tile.id.startsWith(`${name}/`)).flatMap((tile) => tile.leds);
  assert.ok(of('a').every(([x, y]) => x < w && y < h));
  assert.ok(of('b').every(([x, y]) => x >= 10 && x < 10 + h && y >= 2 && y < 2 + w));
});

test('the preview decodes what the player sent as the relay itself did', async (t) => {
  const lc = require('..');
  const { FramePreview } = require('../lib/view/preview');
  const { sceneOf, coloursOf } = require('../lib/view/scene');
  const { sampleInstallation } = require('../lib/relay');
  const host = await startRelay({ period: 5, sensors: false });
  t.after(() => host.stop());
  const com = await lc.promises.connect({ ip: '127.0.0.1', port: host.port });
  t.after(() => com.stop());
  const doc = sampleInstallation();
  const player = new lc.promises.Player(com);
  const ended = player.start(0, new lc.promises.Topology(doc), 'video', false);
  const { width, height, frames } = player.screen;
  const image = Buffer.alloc(4 * width * height);
  for (let i = 0; i < image.length; i++) image[i] = (i * 29) % 251;
  await player.push(image);
  await player.push(Buffer.from(image)); // the first went out whole by now
  const preview = new FramePreview(doc, 0, 'video');
  const sent = player.native.getFrames();
  assert.strictEqual(sent.length % frames, 0);
  assert.ok(preview.show(sent, sent.length / frames, { framesSent: 1 }));
  const scene = sceneOf(preview);
  assert.strictEqual(scene.tiles.length, 12);
  assert.deepStrictEqual(coloursOf(preview, scene), coloursOf(host.relay, sceneOf(host.relay)));
  assert.strictEqual(preview.show(sent, sent.length / frames), false, 'a second picture at once is left out');
  await player.stop();
  await ended;
});
