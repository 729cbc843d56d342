'use strict';

// Pictures from files: video and animations through ffmpeg, still PNG
// pictures through pngjs, fitted to the screen and shown for their own
// durations on a playback against the virtual relay.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { PNG } = require('pngjs');
const lc = require('..');
const { VirtualRelay, gridInstallation } = require('../lib/relay');
const { openSource, hasFfmpeg } = require('../lib/content');

// Without ffmpeg these skip, except under CI, where a missing tool fails.
const noFfmpeg = hasFfmpeg() || process.env.CI === 'true' ? false : 'ffmpeg is not installed (apt-get install -y ffmpeg)';

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-content-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Solid colours one after the other, each `seconds` long, made by ffmpeg's
// own sources.
function colourClip(file, colours, { size = '64x48', rate = 30, filter = '' } = {}) {
  const inputs = colours.flatMap(([c, d]) => ['-f', 'lavfi', '-i', `color=c=${c}:s=${size}:r=${rate}:d=${d}`]);
  const chain = `${colours.map((_, i) => `[${i}]`).join('')}concat=n=${colours.length}:v=1${filter}`;
  execFileSync('ffmpeg', ['-v', 'error', '-y', ...inputs, '-filter_complex', chain, '-fps_mode', 'vfr', file]);
  return file;
}

async function collect(items) {
  const out = [];
  for await (const item of items) out.push(item);
  return out;
}

const pixel = (image, width, x, y) => [...image.subarray(4 * (y * width + x), 4 * (y * width + x) + 3)];
const near = (a, b) => a.every((v, i) => Math.abs(v - b[i]) <= 12);

test('a clip of three colours arrives as those colours, in order, each for about a second', { skip: noFfmpeg, timeout: 60000 }, async (t) => {
  const clip = colourClip(path.join(tempDir(t), 'clip.mp4'), [['red', 1], ['lime', 1], ['blue', 1]]);
  const relay = new VirtualRelay({ period: 4, state: 1 });
  const doc = gridInstallation(1, 1);
  relay.setInstallation(doc);
  const port = await relay.start();
  t.after(() => relay.stop());
  const com = await lc.promises.connect({ ip: '127.0.0.1', port });
  t.after(() => com.stop());
  const player = new lc.promises.Player(com);
  const ended = player.start(0, new lc.promises.Topology(doc), 'video', false);
  // Colour changes of the tile as the relay decodes them, with their times.
  const changes = [];
  relay.on('frame', () => {
    const led = relay.ledsOf(1)[55]; // mid-tile, clear of the bars
    const name = !led ? null : ['red', 'lime', 'blue'].find((_, i) => led[i] > 200 && led.every((v, j) => j === i || v < 40));
    if (name && (!changes.length || changes[changes.length - 1][0] !== name)) changes.push([name, performance.now()]);
  });
  const stats = await player.play(clip);
  const end = performance.now();
  await player.stop();
  await ended;
  assert.deepStrictEqual(changes.map((c) => c[0]), ['red', 'lime', 'blue']);
  const lengths = changes.map((c, i) => (i + 1 < changes.length ? changes[i + 1][1] : end) - c[1]);
  for (const ms of lengths) assert.ok(ms > 800 && ms < 1400, `colours lasted ${lengths.map(Math.round)} ms`);
  assert.strictEqual(stats.shown, 90);
});

test('an animation keeps its unequal frame delays', { skip: noFfmpeg }, async (t) => {
  // mpdecimate folds repeated frames into one, so each colour is one GIF frame
  // whose delay is its colour's length.
  const gif = colourClip(path.join(tempDir(t), 'anim.gif'), [['red', 0.3], ['lime', 0.1], ['blue', 0.6], ['white', 0.2]],
    { size: '16x8', rate: 10, filter: ',mpdecimate=max=0:hi=1:lo=1:frac=1' });
  // The delays the file holds, as its packets give them.
  const delays = execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'packet=duration_time', '-of', 'csv=p=0', gif])
    .toString().trim().split('\n').map((d) => Math.round(Number(d) * 1000));
  assert.ok(delays.length === 4 && new Set(delays).size > 2, `delays ${delays}`);
  const items = await collect(openSource(gif, { width: 8, height: 4 }).items);
  assert.deepStrictEqual(items.map((i) => Math.round(i.duration)), delays);
  assert.deepStrictEqual(items.map((i) => Math.round(i.at)), delays.map((_, i) => delays.slice(0, i).reduce((a, b) => a + b, 0)));
  assert.ok(near(pixel(items[1].image, 8, 4, 2), [0, 255, 0]));
});

test('fit modes place a wide picture on the screen, through both decoders', { skip: noFfmpeg }, async (t) => {
  const dir = tempDir(t);
  // 80 x 20: four quarters, red, green, blue, white, from left to right.
  const png = new PNG({ width: 80, height: 20 });
  const quarters = [[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 255]];
  for (let y = 0; y < 20; y++) for (let x = 0; x < 80; x++) png.data.set([...quarters[Math.floor(x / 20)], 255], 4 * (y * 80 + x));
  const file = path.join(dir, 'wide.png');
  fs.writeFileSync(file, PNG.sync.write(png));
  const bmp = path.join(dir, 'wide.bmp');
  execFileSync('ffmpeg', ['-v', 'error', '-y', '-i', file, bmp]);
  const [black, red, green, blue, white] = [[0, 0, 0], ...quarters];
  // On a 40 x 30 screen: [fit, [x, y, colour] ...]
  const cases = [
    ['contain', [[20, 4, black], [20, 26, black], [4, 15, red], [35, 15, white]]],
    ['cover', [[4, 4, green], [35, 26, blue], [30, 15, blue]]],
    ['stretch', [[4, 4, red], [35, 26, white], [15, 15, green]]],
  ];
  for (const source of [file, bmp]) {
    for (const [fit, points] of cases) {
      const [item] = await collect(openSource(source, { width: 40, height: 30, fit }).items);
      assert.strictEqual(item.image.length, 40 * 30 * 4);
      for (const [x, y, colour] of points) {
        assert.ok(near(pixel(item.image, 40, x, y), colour), `${path.basename(source)} ${fit} at ${x},${y}: ${pixel(item.image, 40, x, y)}`);
      }
    }
  }
});
