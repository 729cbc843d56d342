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

const CODES = { 0: 'link up (first status)', 1: 'link ended', 2: 'relay state changed' };

async function main() {
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
