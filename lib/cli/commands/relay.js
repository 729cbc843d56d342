'use strict';

const { startRelay } = require('../../relay/host');
const { port, integer, choice, readDocument, CommandError, MODES } = require('../common');
const { interrupted } = require('./bridge');
const { startShowRelays } = require('../../relay/many');
const { readShow } = require('../../show/file');

function register(cli) {
  cli
    .command('relay')
    .description('run a virtual relay on 127.0.0.1 with the sample installation (or yours) until interrupted')
    .option('--port <number>', 'TCP port; 0 takes a free one', port, 0)
    .option('--topology <files...>', 'the installation as a topology document (JSON) instead of the sample; one for all relays or one per relay')
    .option('--count <n>', 'run this many relays, on consecutive ports from --port', integer(1, 256))
    .option('--show <file>', 'run the relays of a show file, each on its port; the live picture draws the show\'s canvas')
    .option('--mode <mode>', 'how to decode pixel frames: video, rgb or mask (as the player sends them)', choice(MODES), 'video')
    .option('--period <ms>', 'milliseconds between status frames (the pace of the player)', integer(5, 10000), 50)
    .option('--state <word>', 'the state word the relay reports', integer(0, 65535), 1)
    .option('--discovery', 'also answer the discovery greeting (UDP port 9860, on 127.0.0.1 only)')
    .option('--web', 'also serve a live picture of the tiles on 127.0.0.1')
    .option('--web-port <number>', 'port of the live picture; 0 takes a free one', port, 0)
    .action(async (opts) => {
      if (opts.count || opts.show) {
        await runMany(opts);
        return;
      }
      const document = opts.topology ? readDocument(opts.topology[0]) : undefined;
      if (opts.topology && opts.topology.length > 1) throw new CommandError('one relay takes one --topology document');
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

// Several relays at once: one line per relay, one live picture for all.
async function runMany(opts) {
  let entries = null;
  if (opts.show) {
    try {
      entries = readShow(opts.show);
    } catch (err) {
      throw new CommandError(err.message);
    }
    if (opts.count && opts.count !== entries.length) throw new CommandError(`--count ${opts.count}, but ${opts.show} has ${entries.length} relays`);
  }
  if (opts.discovery) throw new CommandError('--discovery answers for one relay only: leave out --count and --show');
  let run;
  try {
    run = await startShowRelays({
      entries,
      count: opts.count || 1,
      port: opts.port,
      documents: (opts.topology || []).map(readDocument),
      readDocument,
      mode: opts.mode,
      period: opts.period,
      state: opts.state,
      web: Boolean(opts.web),
      webPort: opts.webPort,
    });
  } catch (err) {
    if (err instanceof CommandError) throw err;
    throw new CommandError(`cannot run the relays: ${err.code === 'EADDRINUSE' ? `port ${err.port} is in use` : err.message}`);
  }
  for (const { name, host } of run.hosts) {
    const tiles = host.document.filter((m) => m.id !== 0).length;
    process.stdout.write(`${name}: virtual relay listening on 127.0.0.1:${host.port} (${tiles} tiles, ${opts.mode} mode)\n`);
  }
  if (run.web) process.stdout.write(`live view at ${run.web.url}\n`);
  await interrupted();
  await run.stop();
  process.stdout.write('virtual relays stopped\n');
}

module.exports = { register };
