'use strict';

// The main job of the module, end to end against a virtual relay with twelve
// tiles: connect, read the installation, set the luminosity, switch the
// application, stream an animation in each display mode while drawing what
// the tiles show, read the sensors, upload a package and send a file to the
// SD card with progress bars, write a PNG of the last picture, and stop.
//
//   node examples/demo.js [--web] [--seconds N]
//
// --web also serves a live picture of the tiles on 127.0.0.1 and leaves it
// up until Ctrl-C once the demo is done.
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('..');
const { startRelay, samplePackage } = require('../lib/relay');
const { picture } = require('../lib/animation');
const { sceneOf, coloursOf } = require('../lib/view/scene');
const { render } = require('../lib/view/terminal');
const { writePng } = require('../lib/view/png');
const { playAtPace } = require('../lib/playback');
const { missingImages } = require('../lib/packages');
const { withProgress } = require('../lib/progress');

const args = process.argv.slice(2);
const WEB = args.includes('--web');
const SECONDS = Number(args[args.indexOf('--seconds') + 1]) || 2;
const { promises: lcp } = lc;

const log = new lc.Log('demo');
const say = (text) => process.stdout.write(`${text}\n`);
const CODES = { 0: 'link up (first status)', 1: 'link ended', 2: 'relay state changed' };
const hex = (v) => `0x${(v >>> 0).toString(16).padStart(8, '0')}`;

// Draws the tiles while a playback runs: in place on a terminal, otherwise
// once at the end.
function pictureDrawer(host) {
  const scene = sceneOf(host.relay);
  let lines = 0;
  return {
    scene,
    draw(final) {
      if (!process.stdout.isTTY && !final) return;
      const text = render(scene, coloursOf(host.relay, scene));
      if (process.stdout.isTTY && lines) process.stdout.write(`\x1b[${lines}A\r`);
      process.stdout.write(`${text}\n`);
      lines = text.split('\n').length;
    },
    reset() {
      lines = 0;
    },
  };
}

async function main() {
  const started = Date.now();
  const host = await startRelay({ web: WEB, mode: 'video', period: 40 });
  let com = null;
  try {
    com = await run(host, started);
  } finally {
    // Whatever happened, end the link and the relay so the process can exit.
    if (com) await com.stop();
    await host.stop();
  }
  log.flush();
}

async function run(host, started) {
  say(`virtual relay with ${host.document.length - 1} tiles listening on 127.0.0.1:${host.port}`);
  if (host.web) say(`live view: ${host.web.url}`);

  const com = await lcp.connect({ ip: '127.0.0.1', port: host.port });
  say(`com: code 0 (${CODES[0]})`);
  com.on('code', (code) => code !== 0 && say(`com: code ${code} (${CODES[code]})`));
  say(`relay version ${com.getVersion()} (${hex(com.getVersion())}), state ${com.native.getState()}`);

  // The installation as the relay reports it; every tile read as the model
  // with sensors.
  const top = new lcp.Topology();
  await top.update('relay', 'quadrav2', com);
  const modules = top.getTop();
  say(`topology: ${modules.length} modules`);
  for (const angle of [0, 90]) {
    const rows = top.getMatrix(angle).map((row) => row.map((c) => (c ? '#' : '.')).join(''));
    say(`matrix at ${angle} degrees: ${rows.join(' / ')}`);
  }

  await new lcp.Luminosity(com).changeTo(180);
  say(`luminosity set to 180 (the relay recorded ${host.relay.commands.luminosity})`);
  await new lcp.Changer(com).changeTo(3);
  say(`application 3 started; relay state now ${com.native.getState()}`);

  // An animation in each mode, at the relay's pace.
  const player = new lcp.Player(com);
  const drawer = pictureDrawer(host);
  let sensors = null;
  for (const mode of ['mask', 'rgb', 'video']) {
    host.setMode(mode);
    say(`playing ${SECONDS} s in ${mode} mode:`);
    drawer.reset();
    const timer = setInterval(() => drawer.draw(false), 100);
    let played;
    try {
      played = await playAtPace(player, {
        topology: top,
        angle: 0,
        mode,
        sensors: true,
        seconds: SECONDS,
        next: (i, screen) => picture(i, screen.width, screen.height, mode),
      });
    } finally {
      clearInterval(timer);
    }
    drawer.draw(true);
    const { screen, shown, counters } = played;
    say(
      `${mode}: ${shown} pictures of ${screen.width}x${screen.height}, ${counters.framesSent} frames ` +
        `(${screen.frames} per picture), ${counters.slotsSkipped} slots skipped`,
    );
    sensors = { screen, values: new Uint16Array(screen.rows * screen.columns) };
    player.getSensors(sensors.values);
  }
  const { rows, columns } = sensors.screen;
  say(`sensors, ${rows} rows of ${columns}:`);
  for (let r = 0; r < rows; r++) {
    say(`  ${Array.from(sensors.values.subarray(r * columns, (r + 1) * columns), (v) => String(v).padStart(4)).join(' ')}`);
  }

  // The last picture as the tiles show it.
  const out = path.join(__dirname, '..', 'build', 'demo');
  fs.mkdirSync(out, { recursive: true });
  const png = writePng(path.join(out, 'last-frame.png'), drawer.scene, coloursOf(host.relay, drawer.scene));
  say(`last picture written to ${png}`);

  // A package with an image for each tile model, checked against the
  // installation (the relay's own document knows the models) and uploaded.
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-demo-'));
  const packageFile = path.join(work, 'app.json');
  fs.writeFileSync(packageFile, JSON.stringify(samplePackage(['quadra', 'quadrav2'])));
  const app = new lcp.LcApp();
  if (!app.openFromFile(packageFile)) throw new Error('the sample package did not open');
  const problem = missingImages(app.getTypes(), host.document);
  say(`package ${app.getTypes().join(', ')}: ${problem || 'covers every tile model'}`);
  await withProgress('upload', 'packets', (onProgress) => new lcp.Loader(com).send(app, { onProgress }));
  say('package uploaded; the tiles run it');

  const clip = path.join(work, 'clip.bin');
  fs.writeFileSync(clip, Buffer.alloc(48 * 1024, 0x5a));
  await withProgress('send', 'bytes', (onProgress) => new lcp.SdSender(com).send(clip, { onProgress }));
  say(`clip.bin (48 KB) sent to the SD card${host.relay.sd ? ` (${describeCard(host.relay.sd)})` : ''}`);
  fs.rmSync(work, { recursive: true, force: true });

  await com.stop();
  say(`done in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  if (host.web) {
    say(`the live view stays at ${host.web.url}; Ctrl-C ends it`);
    await new Promise((resolve) => process.once('SIGINT', resolve));
  }
  return com;
}

function describeCard(sd) {
  const files = sd.files instanceof Map ? [...sd.files.keys()] : Object.keys(sd.files || {});
  return files.length ? `the card holds ${files.join(', ')}` : 'the card took it';
}

main().catch((err) => {
  process.stderr.write(`demo: ${err.stack || err.message}\n`);
  process.exitCode = 1;
});
