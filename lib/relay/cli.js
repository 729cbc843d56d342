#!/usr/bin/env node
'use strict';

// Runs a virtual relay until interrupted:
//   node lib/relay/cli.js [--port N] [--period MS] [--state S] [--version V]
//     [--echo 1]   (send every custom-application data message straight back)
//     [--installation topology.json] [--mode video|rgb|mask]
//     [--discovery-port N [--name TEXT] [--relay-type relay|oldrelay|relayrpi]]
//     [--appDelay MS] [--appState S] [--resetMode state0|close|ignore] [--resetHold MS]
//     [--grid COLUMNSxROWS [--tile TAG]] [--recordsPerFrame N]
//     [--frameInterval MS] [--cycles N] [--startAt I] [--wrongTotal T] [--gap ID]
//     [--loaderReaction switch|none|close] [--loaderState S] [--expectPackage FILE]
//     [--sdFault fail-ready|stall-data|...] [--sdDir DIR]
// With --discovery-port the relay also answers the discovery greeting, on
// 127.0.0.1 only (0 = any free port).
const fs = require('fs');
const { VirtualRelay } = require('./index');
const { fromCli } = require('./installation');

// Options that take a text rather than a number.
const TEXT_OPTIONS = { name: 'name', 'relay-type': 'relayType', installation: 'installation',
  mode: 'mode', grid: 'grid', tile: 'tile', resetMode: 'resetMode',
  loaderReaction: 'loaderReaction', sdFault: 'sdFault', sdDir: 'sdDir',
  expectPackage: 'expectPackage' };
const DISCOVERY_OPTIONS = { 'discovery-port': 'port', name: 'name', 'relay-type': 'relayType' };

function parseArgs(argv) {
  const options = {};
  const discovery = {};
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    const text = argv[i + 1];
    if (text === undefined) throw new Error(`--${key} needs a value`);
    const value = key in TEXT_OPTIONS ? text : Number(text);
    if (typeof value === 'number' && !Number.isFinite(value)) {
      throw new Error(`--${key} needs a number`);
    }
    if (key in DISCOVERY_OPTIONS) discovery[DISCOVERY_OPTIONS[key]] = value;
    else options[key] = value;
  }
  return { options: fromCli(options), discovery };
}

async function main() {
  const { options: { installation, mode, expectPackage, ...options }, discovery } =
    parseArgs(process.argv.slice(2));
  const relay = new VirtualRelay(options);
  if (installation) relay.setInstallation(installation);
  if (mode) relay.setPixelMode(mode);
  if (expectPackage) relay.loader.expect(JSON.parse(fs.readFileSync(expectPackage, 'utf8')));
  const port = await relay.start();
  console.log(`virtual relay listening on 127.0.0.1:${port}`);
  if (discovery.port !== undefined) {
    const udpPort = await relay.startDiscovery(discovery);
    console.log(`answering discovery on 127.0.0.1:${udpPort} as "${relay.discovery.reply()}"`);
  }
  relay.on('connection', () => console.log('client connected'));
  relay.on('frame', (f) => console.log(`frame type ${f.type}, ${f.payload.length} bytes`));
  relay.on('upload', (r) => console.log(r.ok
    ? `upload of ${r.units} units in ${r.packets} packets taken${r.matches ? ', images as expected' : ''}`
    : `upload refused: ${r.error}`));
  relay.on('sdfile', (f) => console.log(`SD file ${JSON.stringify(f.name)}, ${f.bytes.length} bytes`));
  relay.on('customapp', (m) => console.log(`custom app ${m.kind}${m.payload ? `, ${m.payload.length} bytes` : ''}`));
  process.on('SIGINT', () => relay.stop().then(() => process.exit(0)));
}

main().catch((err) => {
  console.error(err.message);
  process.exit(1);
});
