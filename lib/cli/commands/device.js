'use strict';

// The three one-shot device commands.
const { lazy, integer, withLink, CommandError } = require('../common');
const { relayOrShowOptions: relayOptions, onShow } = require('../each');
const lc = lazy(() => require('../../..'));

async function attempt(com, make, what) {
  try {
    await make(com);
  } catch (err) {
    throw new CommandError(`${what} failed: the relay was not ready, or the link ended`);
  }
}

// One relay, or with --show every relay of the show, each with its own line.
async function runCommand(opts, make, what, done) {
  if (opts.show) {
    await onShow(opts, (com) => attempt(com, make, what).then(() => done));
    return;
  }
  await withLink(opts, (com) => attempt(com, make, what));
  process.stdout.write(`${done}\n`);
}

function register(cli) {
  relayOptions(
    cli
      .command('luminosity')
      .description('set the luminosity of the tiles\' LEDs')
      .argument('<level>', '0 to 255', integer(0, 255)),
  ).action(async (level, opts) => {
    await runCommand(opts, (com) => new lc.promises.Luminosity(com).changeTo(level), 'the luminosity change', `luminosity set to ${level}`);
  });

  relayOptions(
    cli
      .command('app')
      .description('switch the application the tiles run')
      .argument('<number>', 'application number, 0 to 255', integer(0, 255)),
  ).action(async (number, opts) => {
    await runCommand(opts, (com) => new lc.promises.Changer(com).changeTo(number), 'the application change', `application ${number} started`);
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
      opts.fallback ? 'relay reset to the fallback application' : 'relay reset',
    );
  });
}

module.exports = { register };
