'use strict';

const { startRelay } = require('../../relay/host');
const { port, integer, choice, readDocument, CommandError, MODES } = require('../common');
const { interrupted } = require('./bridge');

function register(cli) {
  cli
    .command('relay')
    .description('run a virtual relay on 127.0.0.1 with the sample installation (or yours) until interrupted')
    .option('--port <number>', 'TCP port; 0 takes a free one', port, 0)
    .option('--topology <file>', 'the installation as a topology document (JSON) instead of the sample')
    .option('--mode <mode>', 'how to decode pixel frames: video, rgb or mask (as the player sends them)', choice(MODES), 'video')
    .option('--period <ms>', 'milliseconds between status frames (the pace of the player)', integer(5, 10000), 50)
    .option('--state <word>', 'the state word the relay reports', integer(0, 65535), 1)
    .option('--discovery', 'also answer the discovery greeting (UDP port 9860, on 127.0.0.1 only)')
    .option('--web', 'also serve a live picture of the tiles on 127.0.0.1')
    .option('--web-port <number>', 'port of the live picture; 0 takes a free one', port, 0)
    .action(async (opts) => {
      const document = opts.topology ? readDocument(opts.topology) : undefined;
      let host;
      try {
        host = await startRelay({
          port: opts.port,
          document,
          mode: opts.mode,
          period: opts.period,
          state: opts.state,
          web: Boolean(opts.web),
          webPort: opts.webPort,
          discovery: Boolean(opts.discovery),
        });
      } catch (err) {
        throw new CommandError(`cannot run the relay: ${err.code === 'EADDRINUSE' ? `port ${err.port} is in use` : err.message}`);
      }
      const tiles = host.document.filter((m) => m.id !== 0).length;
      process.stdout.write(`virtual relay listening on 127.0.0.1:${host.port} (${tiles} tiles, ${opts.mode} mode)\n`);
      if (host.discovery) process.stdout.write(`answering discovery on 127.0.0.1:${host.discovery}\n`);
      if (host.web) process.stdout.write(`live view at ${host.web.url}\n`);
      await interrupted();
      await host.stop();
      process.stdout.write('virtual relay stopped\n');
    });
}

module.exports = { register };
