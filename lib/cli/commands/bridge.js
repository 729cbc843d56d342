'use strict';

const { lazy, relayOptions, host, port, connect, CommandError } = require('../common');
const lc = lazy(() => require('../../..'));

// Resolves at the first of the given signals.
function interrupted(signals = ['SIGINT', 'SIGTERM']) {
  return new Promise((resolve) => {
    const on = (name) => {
      for (const s of signals) process.off(s, on);
      resolve(name);
    };
    for (const s of signals) process.on(s, on);
  });
}

function register(cli) {
  relayOptions(
    cli
      .command('bridge')
      .description('lend the link to one local TCP client at a time, until interrupted')
      .option('--listen-host <address>', 'address to listen on (anything but loopback lets others drive the relay)', host, '127.0.0.1')
      .option('--listen-port <number>', 'port to listen on; 0 takes a free one', port, 54433),
  ).action(async (opts) => {
    const com = await connect(opts);
    const bridge = new lc.promises.ComBridge(com);
    try {
      let listening;
      try {
        listening = await bridge.start({ host: opts.listenHost, port: opts.listenPort });
      } catch (err) {
        throw new CommandError(`cannot listen on ${opts.listenHost}:${opts.listenPort}`);
      }
      process.stdout.write(`bridge listening on ${opts.listenHost}:${listening}\n`);
      const why = await Promise.race([interrupted(), com.ended.then(() => 'link'), bridge.ended.then(() => 'bridge')]);
      if (why === 'link') throw new CommandError('the relay ended the link');
      if (why === 'bridge') throw new CommandError('the bridge stopped');
      process.stdout.write('bridge stopped\n');
    } finally {
      await bridge.stop();
      await com.stop();
    }
  });
}

module.exports = { register, interrupted };
