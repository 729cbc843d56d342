'use strict';

// The three one-shot device commands.
const { lazy, relayOptions, integer, withLink, CommandError } = require('../common');
const lc = lazy(() => require('../../..'));

async function runCommand(opts, make, what) {
  await withLink(opts, async (com) => {
    try {
      await make(com);
    } catch (err) {
      throw new CommandError(`${what} failed: the relay was not ready, or the link ended`);
    }
  });
}

function register(cli) {
  relayOptions(
    cli
      .command('luminosity')
      .description('set the luminosity of the tiles\' LEDs')
      .argument('<level>', '0 to 255', integer(0, 255)),
  ).action(async (level, opts) => {
    await runCommand(opts, (com) => new lc.promises.Luminosity(com).changeTo(level), 'the luminosity change');
    process.stdout.write(`luminosity set to ${level}\n`);
  });

  relayOptions(
    cli
      .command('app')
      .description('switch the application the tiles run')
      .argument('<number>', 'application number, 0 to 255', integer(0, 255)),
  ).action(async (number, opts) => {
    await runCommand(opts, (com) => new lc.promises.Changer(com).changeTo(number), 'the application change');
    process.stdout.write(`application ${number} started\n`);
  });

  relayOptions(
    cli
      .command('reset')
      .description('reset the relay')
      .option('--fallback', 'reset to the fallback application'),
  ).action(async (opts) => {
    await runCommand(
      opts,
      (com) => (opts.fallback ? new lc.promises.Reset(com).fallback() : new lc.promises.Reset(com).reset()),
      'the reset',
    );
    process.stdout.write(opts.fallback ? 'relay reset to the fallback application\n' : 'relay reset\n');
  });
}

module.exports = { register };
