#!/usr/bin/env node
'use strict';

// Runs a virtual relay until interrupted:
//   node tools/virtual-relay/cli.js [--port N] [--period MS] [--state S] [--version V]
//     [--installation topology.json] [--mode video|rgb|mask]
const fs = require('fs');
const { VirtualRelay } = require('./index');

// Options that take a text rather than a number.
const TEXTS = new Set(['installation', 'mode']);

function parseArgs(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    if (TEXTS.has(key)) {
      options[key] = String(argv[i + 1]);
      continue;
    }
    const value = Number(argv[i + 1]);
    if (!Number.isFinite(value)) throw new Error(`--${key} needs a number`);
    options[key] = value;
  }
  return options;
}

async function main() {
  const { installation, mode, ...options } = parseArgs(process.argv.slice(2));
  const relay = new VirtualRelay(options);
  if (installation) relay.setInstallation(JSON.parse(fs.readFileSync(installation, 'utf8')));
  if (mode) relay.setPixelMode(mode);
  const port = await relay.start();
  console.log(`virtual relay listening on 127.0.0.1:${port}`);
  relay.on('connection', () => console.log('client connected'));
  relay.on('frame', (f) => console.log(`frame type ${f.type}, ${f.payload.length} bytes`));
  process.on('SIGINT', () => relay.stop().then(() => process.exit(0)));
}

main().catch((err) => {
  console.error(err.message);
  process.exit(1);
});
