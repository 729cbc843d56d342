'use strict';

const fs = require('fs');
const { InvalidArgumentError } = require('commander');
const { lazy, port, integer, choice, readDocument, CommandError, MODES, RELAY_TAGS, TILE_TAGS } = require('../common');
const { interrupted } = require('./bridge');

const virtual = lazy(() => require('../../relay'));

const word = integer(0, 0xffffffff);

// A version word as `lc info` prints it, four bytes from the most
// significant down (2.1.3 stands for 0.2.1.3), or as one number.
function version(text) {
  const parts = String(text).trim().split('.');
  if (parts.length === 1) return word(text);
  if (parts.length > 4 || !parts.every((p) => /^\d{1,3}$/.test(p) && Number(p) <= 255)) {
    throw new InvalidArgumentError('not a version: up to four numbers 0 to 255 joined by dots, as in 2.1.3, or one number.');
  }
  return parts.reduce((v, p) => v * 256 + Number(p), 0);
}
const SD_FAULTS = ['fail', 'stall'].flatMap((how) => ['ready', 'data', 'received', 'done'].map((step) => `${how}-${step}`));
const count = integer(1, 65535);

// COLUMNSxROWS, as in 4x3.
function grid(text) {
  const m = /^(\d+)x(\d+)$/.exec(String(text).trim());
  if (!m || Number(m[1]) < 1 || Number(m[2]) < 1) throw new InvalidArgumentError('not COLUMNSxROWS, as in 4x3.');
  return [Number(m[1]), Number(m[2])];
}

// Options left out keep the relay's own defaults.
function withoutUnset(values) {
  for (const k of Object.keys(values)) if (values[k] === undefined) delete values[k];
  return values;
}

// What the relay does besides the sample's defaults: its answers to
// commands, how it streams its records, its loader and SD-card side.
function behaviour(opts) {
  return withoutUnset({
    echo: Boolean(opts.echo),
    appDelay: opts.appDelay,
    appState: opts.appState,
    resetMode: opts.resetMode,
    resetHold: opts.resetHold,
    recordsPerFrame: opts.recordsPerFrame,
    frameInterval: opts.frameInterval,
    cycles: opts.cycles,
    startAt: opts.startAt,
    wrongTotal: opts.wrongTotal,
    gap: opts.gap,
    loaderReaction: opts.loaderReaction,
    loaderState: opts.loaderState,
    sdFault: opts.sdFault,
    sdDir: opts.sdDir,
  });
}

function readPackage(file) {
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (err) {
    throw new CommandError(`cannot read the package ${file}: ${err.code || err.message}`);
  }
}

// One line per thing the relay saw, for watching a client at work.
function printEvents(relay) {
  const say = (line) => process.stdout.write(`${line}\n`);
  relay.on('connection', () => say('client connected'));
  relay.on('frame', (f) => say(`frame type ${f.type}, ${f.payload.length} bytes`));
  relay.on('upload', (r) => say(r.ok
    ? `upload of ${r.units} units in ${r.packets} packets taken${r.matches ? ', images as expected' : ''}`
    : `upload refused: ${r.error}`));
  relay.on('sdfile', (f) => say(`SD file ${JSON.stringify(f.name)}, ${f.bytes.length} bytes`));
  relay.on('customapp', (m) => say(`custom app ${m.kind}${m.payload ? `, ${m.payload.length} bytes` : ''}`));
}

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
    .option('--grid <columns>x<rows>', 'the installation as a rectangle of square tiles instead of the sample', grid)
    .option('--tile <tag>', 'the tiles\' type of --grid', choice(TILE_TAGS), 'quadra')
    .option('--version <word>', 'the firmware version the relay reports, dotted as lc info prints it (2.1.3) or one number', version, 0x00020103)
    .option('--discovery-port <number>', 'answer the discovery greeting on this UDP port instead; 0 takes a free one', port)
    .option('--name <text>', 'the name the relay gives in its discovery reply')
    .option('--relay-type <tag>', 'the relay type the discovery reply stands for', choice(RELAY_TAGS))
    .option('--echo', 'send every custom-application data message straight back')
    .option('--app-delay <ms>', 'milliseconds until the state word moves after an application change; negative: never', integer(-1, 600000))
    .option('--app-state <word>', 'the state word after an application change (default: the previous one plus 1)', integer(0, 65535))
    .option('--reset-mode <mode>', 'how a reset is answered: state0, close or ignore', choice(['state0', 'close', 'ignore']))
    .option('--reset-hold <ms>', 'milliseconds the state word stays 0 after a reset', integer(0, 600000))
    .option('--records-per-frame <n>', 'module records in each data frame of the topology answer', count)
    .option('--frame-interval <ms>', 'milliseconds between data frames of the topology answer', integer(0, 600000))
    .option('--cycles <n>', 'cycles of records sent for each topology request', integer(0, 65535))
    .option('--start-at <index>', 'the record of the cycle the answer begins with', integer(0, 65535))
    .option('--wrong-total <n>', 'a module total written in every record instead of the true one', integer(0, 65535))
    .option('--gap <id>', 'the id of a module whose record is left out', integer(0, 65535))
    .option('--loader-reaction <reaction>', 'what follows an upload: switch, none or close', choice(['switch', 'none', 'close']))
    .option('--loader-state <word>', 'the state word after an upload', integer(0, 65535))
    .option('--expect-package <file>', 'a package (JSON) the uploaded images are compared with')
    .option('--sd-fault <fault>', 'SD-card transfers fail or stall at one step: fail-ready, stall-data, fail-received, stall-done, ...', choice(SD_FAULTS))
    .option('--sd-dir <dir>', 'also write the SD-card files received into this folder')
    .option('--events', 'print a line for every client, frame, upload, SD-card file and custom-application message')
    .action(async (opts) => {
      if (opts.count || opts.show) {
        await runMany(opts);
        return;
      }
      if (opts.topology && opts.topology.length > 1) throw new CommandError('one relay takes one --topology document');
      let document;
      if (opts.topology) document = readDocument(opts.topology[0]);
      else if (opts.grid) document = virtual.gridInstallation(opts.grid[0], opts.grid[1], opts.tile);
      const expected = opts.expectPackage ? readPackage(opts.expectPackage) : null;
      let discovery = false;
      if (opts.discovery || opts.discoveryPort !== undefined) {
        discovery = withoutUnset({ port: opts.discoveryPort, name: opts.name, relayType: opts.relayType });
      }
      let host;
      try {
        host = await virtual.startRelay({
          port: opts.port,
          document,
          mode: opts.mode,
          period: opts.period,
          state: opts.state,
          version: opts.version,
          web: Boolean(opts.web),
          webPort: opts.webPort,
          discovery,
          relay: behaviour(opts),
        });
      } catch (err) {
        throw new CommandError(`cannot run the relay: ${err.code === 'EADDRINUSE' ? `port ${err.port} is in use` : err.message}`);
      }
      if (expected) host.relay.loader.expect(expected);
      if (opts.events) printEvents(host.relay);
      const tiles = host.document.filter((m) => m.id !== 0).length;
      process.stdout.write(`virtual relay listening on 127.0.0.1:${host.port} (${tiles} tiles, ${opts.mode} mode)\n`);
      if (host.discovery) {
        process.stdout.write(`answering discovery on 127.0.0.1:${host.discovery} as "${host.relay.discovery.reply()}"\n`);
      }
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
      entries = require('../../show/file').readShow(opts.show);
    } catch (err) {
      throw new CommandError(err.message);
    }
    if (opts.count && opts.count !== entries.length) throw new CommandError(`--count ${opts.count}, but ${opts.show} has ${entries.length} relays`);
  }
  if (opts.discovery || opts.discoveryPort !== undefined) throw new CommandError('--discovery answers for one relay only: leave out --count and --show');
  let run;
  try {
    run = await virtual.startShowRelays({
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
