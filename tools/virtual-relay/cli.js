#!/usr/bin/env node
'use strict';

// Runs a virtual relay until interrupted:
//   node tools/virtual-relay/cli.js [--port N] [--period MS] [--state S] [--version V]
//     [--installation topology.json] [--mode video|rgb|mask]
//     [--loader-reaction switch|none|close] [--loader-state S] [--expect-package FILE]
//     [--sd-fault fail-ready|stall-data|...] [--sd-dir DIR]
const fs = require('fs');
const { VirtualRelay } = require('./index');

// Options that take a text rather than a number.
const TEXTS = new Set(['installation', 'mode', 'loaderReaction', 'sdFault', 'sdDir',
  'expectPackage']);

function parseArgs(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '').replace(/-([a-z])/g, (_, c) => c.toUpperCase());
    if (TEXTS.has(key)) {
      if (argv[i + 1] === undefined) throw new Error(`${argv[i]} needs a value`);
      options[key] = String(argv[i + 1]);
      continue;
    }
    const value = Number(argv[i + 1]);
    if (!Number.isFinite(value)) throw new Error(`${argv[i]} needs a number`);
    options[key] = value;
  }
  return options;
}

async function main() {
  const { installation, mode, expectPackage, ...options } = parseArgs(process.argv.slice(2));
  const relay = new VirtualRelay(options);
  if (installation) relay.setInstallation(JSON.parse(fs.readFileSync(installation, 'utf8')));
  if (mode) relay.setPixelMode(mode);
  if (expectPackage) relay.loader.expect(JSON.parse(fs.readFileSync(expectPackage, 'utf8')));
  const port = await relay.start();
  console.log(`virtual relay listening on 127.0.0.1:${port}`);
  relay.on('connection', () => console.log('client connected'));
  relay.on('frame', (f) => console.log(`frame type ${f.type}, ${f.payload.length} bytes`));
  relay.on('upload', (r) => console.log(r.ok
    ? `upload of ${r.units} units in ${r.packets} packets taken${r.matches ? ', images as expected' : ''}`
    : `upload refused: ${r.error}`));
  relay.on('sdfile', (f) => console.log(`SD file ${JSON.stringify(f.name)}, ${f.bytes.length} bytes`));
  process.on('SIGINT', () => relay.stop().then(() => process.exit(0)));
}

main().catch((err) => {
  console.error(err.message);
  process.exit(1);
});
