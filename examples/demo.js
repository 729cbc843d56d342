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
function showTopology() {
  const link = (channel, id, child) => ({ channel, id, child });
  const top = new lc.Topology([
    { id: 0, type: 0, neighbours: [link(0, 1, 1)] },
    { id: 1, type: 4, neighbours: [link(0, 0, 0), link(1, 2, 1)] },
    { id: 2, type: 4, neighbours: [link(3, 1, 0), link(1, 3, 1)] },
    { id: 3, type: 4, neighbours: [link(3, 2, 0), link(2, 4, 1)] },
    { id: 4, type: 4, neighbours: [link(0, 3, 0)] },
  ]);
  log.info(`topology: ${top.getTop().length} modules`);
  for (const angle of [0, 90]) {
    const rows = top.getMatrix(angle).map((row) => row.map((c) => (c ? '#' : '.')).join(''));
    log.info(`matrix at ${angle} degrees: ${rows.join(' / ')}`);
  }
}

const CODES = { 0: 'link up (first status)', 1: 'link ended', 2: 'relay state changed' };

async function main() {
  showTopology();
  const relay = new VirtualRelay({ period: 50, state: 1, version: 0x00020103 });
  const port = await relay.start();
  log.info(`virtual relay listening on 127.0.0.1:${port}`);

  const com = new lc.Com();
  await new Promise((resolve, reject) => {
    const started = com.start({ type: 'TCPIP', ip: '127.0.0.1', port, name: 'demo' }, (_, code) => {
      log.info(`com: code ${code} (${CODES[code]})`);
      if (code === 0) {
        const v = com.getVersion();
        log.info(`relay version ${v} (0x${v.toString(16).padStart(8, "0")}), ready ${com.ready()}`);
        relay.setState(2); // the next status frame reports a change
      } else if (code === 2) {
        log.info('stopping the link');
        com.stop();
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
