'use strict';

// Builds the command line and runs one command. Exit codes: 0 done, 1 the
// work failed (one message says why), 2 the command line was wrong.
const { Command, CommanderError } = require('commander');
const { CommandError } = require('./common');

const COMMANDS = [
  'discover',
  'info',
  'topology',
  'device',
  'play',
  'upload',
  'send',
  'bridge',
  'relay',
];

function program() {
  const cli = new Command('lc')
    .description('Drive an installation of LED tiles through its relay.')
    .exitOverride()
    .showHelpAfterError('(add --help for usage)')
    .configureHelp({ sortSubcommands: false });
  for (const name of COMMANDS) require(`./commands/${name}`).register(cli);
  return cli;
}

async function run(argv) {
  const cli = program();
  try {
    await cli.parseAsync(argv);
    return 0;
  } catch (err) {
    if (err instanceof CommanderError) return err.exitCode === 0 ? 0 : 2;
    const message = err instanceof CommandError ? err.message : err.stack || String(err);
    process.stderr.write(`lc: ${message}\n`);
    return 1;
  }
}

module.exports = { run, program };
