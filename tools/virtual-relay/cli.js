#!/usr/bin/env node
'use strict';

// Runs a virtual relay until interrupted:
//   node tools/virtual-relay/cli.js [--port N] [--period MS] [--state S] [--version V]
//     [--appDelay MS] [--appState S] [--resetMode state0|close|ignore] [--resetHold MS]
//     [--topology FILE | --grid COLUMNSxROWS [--tile TAG]] [--recordsPerFrame N]
//     [--frameInterval MS] [--cycles N] [--startAt I] [--wrongTotal T] [--gap ID]
const { VirtualRelay } = require('./index');
const { fromCli } = require('./installation');

function parseArgs(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    const text = argv[i + 1];
    if (text === undefined) throw new Error(`--${key} needs a value`);
    const value = Number(text);
    options[key] = Number.isFinite(value) ? value : text;
  }
  return fromCli(options);
}

async function main() {
  const relay = new VirtualRelay(parseArgs(process.argv.slice(2)));
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
