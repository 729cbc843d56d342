'use strict';

// The live view in a real browser: Debian's chromium, driven through
// puppeteer-core, loads the page from 127.0.0.1 while the player streams to
// the virtual relay, and the canvas must show at each LED the colour the
// picture has there.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const lc = require('..');
const { startRelay } = require('../lib/relay');
const { playAtPace } = require('../lib/playback');
const { picture } = require('../lib/animation');
const { skipFor } = require('./support/skip');

const BROWSERS = ['/usr/bin/chromium', '/usr/bin/chromium-browser', '/usr/lib/chromium/chromium'];
const browserPath = BROWSERS.find((file) => fs.existsSync(file));
const noBrowser = skipFor(browserPath
  ? false
  : 'no browser: Debian\'s chromium is not installed (make js installs it when run as root; else apt-get install chromium)');
const noPlayer = skipFor(typeof lc.Player === 'function' ? false : 'the class "Player" is needed to stream to the relay');

// Whatever the page asks for outside 127.0.0.1 finds no host and no proxy.
const LOOPBACK_ONLY = [
  '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1',
  '--proxy-server=http://127.0.0.1:9',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--no-pings',
];

async function launch(t) {
  const puppeteer = require('puppeteer-core');
  const browser = await puppeteer.launch({
    executablePath: browserPath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', ...LOOPBACK_ONLY],
    // The browser is no part of what is tested: keep sanitizer runtimes that
    // a sanitizer run preloads into node out of it.
    env: { ...process.env, LD_PRELOAD: '' },
  });
  t.after(() => browser.close());
  return browser;
}

async function until(predicate, ms, what) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`${what} did not happen within ${ms} ms`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// Quadrants of four colours: a picture whose every region is known.
function quadrants(width, height) {
  const image = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const c = [[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 255]][(x >= width / 2 ? 1 : 0) + (y >= height / 2 ? 2 : 0)];
      image.set([...c, 255], 4 * (y * width + x));
    }
  }
  return image;
}

test('the page shows the relay\'s state, version and the tiles\' colours as they play', { skip: noBrowser || noPlayer, timeout: 90000 }, async (t) => {
  const host = await startRelay({ web: true, period: 20, state: 2, version: 0x00020103, mode: 'video' });
  t.after(() => host.stop());
  const browser = await launch(t);
  const page = await browser.newPage();
  await page.goto(host.web.url, { waitUntil: 'load' });
  await until(() => page.evaluate(() => Boolean(window.lcView && window.lcView.scene)), 10000, 'the scene');
  const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);
  assert.strictEqual(await text('tiles'), '12');
  await until(async () => (await text('state')) === '2', 5000, 'the state');
  assert.strictEqual(await text('version'), '0x00020103');

  const com = await lc.promises.connect({ ip: '127.0.0.1', port: host.port });
  t.after(() => com.stop());
  const topology = new lc.promises.Topology(host.document);
  const player = new lc.promises.Player(com);

  // An animation first: the page keeps drawing and counts the frame rate.
  // A machine loaded enough to starve the relay's timers for 2 s ends a
  // playback early; what is checked here is what the page drew meanwhile.
  const tolerant = (playing) => playing.catch((err) => {
    if (!/ended early/.test(err.message)) throw err;
  });
  const before = await page.evaluate(() => window.lcView.frames);
  await tolerant(playAtPace(player, {
    topology, angle: 0, mode: 'video', sensors: false, seconds: 1.5,
    next: (i, s) => picture(i, s.width, s.height, 'video'),
  }));
  assert.ok((await page.evaluate(() => window.lcView.frames)) > before + 5, 'the canvas was redrawn as frames came');
  assert.ok(Number(await text('fps')) > 0, 'frames per second shown');

  // Then a picture of known colours: each sampled LED must show the colour
  // of the picture at its place on the screen.
  const screen = player.getScreen(0, topology, 'video');
  const still = quadrants(screen.width, screen.height);
  const playing = tolerant(playAtPace(player, {
    topology, angle: 0, mode: 'video', sensors: false, seconds: 6, next: () => still,
  }));
  const sample = async () => page.evaluate(() => {
    const ctx = document.getElementById('leds').getContext('2d');
    const out = [];
    for (const tile of window.lcView.scene.tiles) {
      for (const k of [0, 55, 99]) {
        if (!tile.leds[k]) continue;
        const [px, py] = window.lcView.ledAt(tile.id, k);
        out.push({ id: tile.id, k, at: tile.leds[k], colour: [...ctx.getImageData(px, py, 1, 1).data.slice(0, 3)] });
      }
    }
    return out;
  });
  const expected = ({ at: [x, y] }) => {
    const p = 4 * (Math.floor(y) * screen.width + Math.floor(x));
    return [...still.subarray(p, p + 3)];
  };
  let last = [];
  try {
    await until(async () => {
      last = await sample();
      return last.length === 36 && last.every((s) => s.colour.join() === expected(s).join());
    }, 5000, 'the quadrant colours on the canvas');
  } catch (err) {
    const wrong = last.filter((s) => s.colour.join() !== expected(s).join()).slice(0, 5);
    throw new Error(`${err.message}: ${JSON.stringify(wrong.map((s) => ({ ...s, expected: expected(s) })))}`);
  }
  // All four colours were seen: the check spans the whole installation.
  assert.strictEqual(new Set(last.map((s) => s.colour.join())).size, 4);
  player.stop();
  await playing;
});

test('the page loads and shows the relay\'s status in a browser', { skip: noBrowser, timeout: 60000 }, async (t) => {
  const host = await startRelay({ web: true, period: 20, state: 7, version: 0x01020304 });
  t.after(() => host.stop());
  const browser = await launch(t);
  const page = await browser.newPage();
  await page.goto(host.web.url, { waitUntil: 'load' });
  const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);
  await until(async () => (await text('state')) === '7', 10000, 'the state');
  assert.strictEqual(await text('version'), '0x01020304');
  assert.strictEqual(await text('link'), 'live');
});
