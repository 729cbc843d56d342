'use strict';

// The main job of the module, end to end against a virtual relay: load the
// module, start a relay stand-in on a free loopback port, connect to it with
// "Com", report the link's codes and the relay's version, and stop.
const lc = require('..');
const { VirtualRelay } = require('../tools/virtual-relay');

const log = new lc.Log('demo');
log.info('module loaded with ' + Object.keys(lc).join(', '));
lc.Log.setMode('simple');
log.info('simple mode: the message alone');
lc.Log.setMode('full');
log.info('back to full lines');

// An installation of four "quadra" tiles in an L behind the relay: its
// document round trip and its occupancy matrix at two angles.
const link = (channel, id, child) => ({ channel, id, child });
const installation = [
  { id: 0, type: 0, neighbours: [link(0, 1, 1)] },
  { id: 1, type: 4, neighbours: [link(0, 0, 0), link(1, 2, 1)] },
  { id: 2, type: 4, neighbours: [link(3, 1, 0), link(1, 3, 1)] },
  { id: 3, type: 4, neighbours: [link(3, 2, 0), link(2, 4, 1)] },
  { id: 4, type: 4, neighbours: [link(0, 3, 0)] },
];

function showTopology() {
  const top = new lc.Topology(installation);
  log.info(`topology: ${top.getTop().length} modules`);
  for (const angle of [0, 90]) {
    const rows = top.getMatrix(angle).map((row) => row.map((c) => (c ? '#' : '.')).join(''));
    log.info(`matrix at ${angle} degrees: ${rows.join(' / ')}`);
  }
}

// Sets the luminosity and asks the relay for its installation, at once.
async function askRelay(com, relay) {
  const top = new lc.Topology();
  const [dimFailed, updateFailed] = await Promise.all([
    new Promise((resolve) => new lc.Luminosity(com).changeTo(128, resolve)),
    new Promise((resolve) => top.update('relay', 'quadra', com, resolve)),
  ]);
  log.info(`luminosity ${dimFailed ? 'failed' : `set to ${relay.commands.luminosity}`}`);
  if (updateFailed) {
    log.error('update failed');
    return;
  }
  const rows = top.getMatrix(0).map((row) => row.map((c) => (c ? '#' : '.')).join(''));
  log.info(`from the relay: ${top.getTop().length} modules, matrix ${rows.join(' / ')}`);
}

// The main job: a bar of colour moving across the tiles, streamed at the
// relay's pace for half a second, and what the relay made of it.
async function play(com, relay) {
  relay.setInstallation(installation);
  relay.setPixelMode('video');
  relay.setPeriod(10);
  const top = new lc.Topology(installation);
  const player = new lc.Player(com);
  const { width, height } = player.getScreen(0, top, 'video');
  log.info(`player: screen ${width} x ${height}`);
  const ended = new Promise((resolve) => player.start(0, top, 'video', false, resolve));
  const image = Buffer.alloc(4 * width * height);
  for (let step = 0; step < 30; step++) {
    for (let y = 0; y < height; y++) {
      for (let x = 0; x < width; x++) {
        const on = Math.abs(x - step) < 3;
        image.set(on ? [255, 96 + 5 * step, 0, 255] : [0, 0, 16, 255], 4 * (x + y * width));
      }
    }
    player.addImage(image);
    await new Promise((r) => setTimeout(r, 16));
  }
  await new Promise((r) => setTimeout(r, 100));
  player.stop();
  await ended;
  const c = player.getCounters();
  log.info(`player: ${c.framesSent} frames sent for ${c.statusEvents} status frames`);
  log.info(`relay: tile 3 LED 0 shows ${relay.ledsOf(3)[0].join(', ')}`);
}

const CODES = { 0: 'link up (first status)', 1: 'link ended', 2: 'relay state changed' };

async function main() {
  showTopology();
  // The relay reports the same installation when asked for it.
  const relay = new VirtualRelay({ period: 50, state: 1, version: 0x00020103, installation });
  const port = await relay.start();
  log.info(`virtual relay listening on 127.0.0.1:${port}`);

  const com = new lc.Com();
  await new Promise((resolve, reject) => {
    const started = com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'demo' }, (_, code) => {
      log.info(`com: code ${code} (${CODES[code]})`);
      if (code === 0) {
        const v = com.getVersion();
        log.info(`relay version ${v} (0x${v.toString(16).padStart(8, "0")}), ready ${com.ready()}`);
        askRelay(com, relay).then(() => relay.setState(2)); // the next status frame reports a change
      } else if (code === 2) {
        play(com, relay).catch((err) => log.error(err.message)).then(() => {
          log.info('stopping the link');
          com.stop();
        });
      } else if (code === 1) {
        resolve();
      }
    });
    if (!started) reject(new Error('start refused'));
  });

  await relay.stop();
  log.info('done');
  log.flush();
}

main().catch((err) => {
  log.error(err.message);
  process.exitCode = 1;
});
