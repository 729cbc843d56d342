'use strict';

// `--show FILE` on the commands that name one relay: the same work on every
// relay of the show at once, one line per relay, and a failure of the
// command when any relay failed.
const { Option } = require('commander');
const common = require('./common');

// Loaded when a command runs with --show, not for --help.
const file = common.lazy(() => require('../show/file'));
const each = common.lazy(() => require('../show/each'));

const { CommandError } = common;

/**
 * --host and --port for one relay, or --show for every relay of a show;
 * --port is required only without --show, and the two forms exclude each other.
 */
function relayOrShowOptions(command) {
  command
    .option('--host <address>', 'the relay\'s IPv4 address or host name', common.host, '127.0.0.1')
    .option('--port <number>', 'the relay\'s TCP port (required without --show)', common.port)
    .addOption(new Option('--show <file>', 'every relay of a show file at once, one line per relay').conflicts(['host', 'port']));
  return command.hook('preAction', (cmd) => {
    const opts = cmd.opts();
    if (opts.show === undefined && opts.port === undefined) {
      cmd.error('error: required option \'--port <number>\' not specified (or give --show <file>)', { exitCode: 2 });
    }
  });
}

function readRelays(name) {
  try {
    return file.readShow(name);
  } catch (err) {
    if (err instanceof file.ShowFileError) throw new CommandError(err.message);
    throw err;
  }
}

// The options of one command as they would read for the relay of `entry`.
function optionsFor(opts, entry) {
  return {
    ...opts,
    show: undefined,
    host: entry.host,
    port: entry.port,
    topology: opts.topology || entry.topology || undefined,
    tileType: opts.tileType || entry.tileType,
    relayType: entry.relayType,
    angle: entry.angle,
  };
}

/**
 * Runs `work(com, relayOpts, progress)` on every relay of the show named by
 * opts.show; `work` resolves with the text of its relay's line. With
 * `progress` ([label, units]) one bar shows the sum of every relay's
 * progress and `progress(sent, total)` reports one relay's part. Prints
 * `name: text` or `name: failed: reason` per relay, in the show's order,
 * and fails when any relay failed. With `json`, `work` resolves with an
 * object and one JSON array is printed instead, an entry per relay:
 * { name, ...object } or { name, failed: reason }.
 */
async function onShow(opts, work, { progress, json = false } = {}) {
  const relays = readRelays(opts.show);
  const run = (update) => each.eachRelay(relays, ({ com, relay }) => work(com, optionsFor(opts, relay), update(relay)), {
    signal: common.interruptSignal(),
  });
  let results;
  if (progress) {
    results = await common.withProgress(`${progress[0]} ${relays.length} relays`, progress[1], (bar) => {
      const parts = new Map();
      return run((relay) => (sent, total) => {
        parts.set(relay.name, [sent, total]);
        let s = 0;
        let t = 0;
        for (const [a, b] of parts.values()) {
          s += a;
          t += b;
        }
        bar(s, t);
      });
    }, { complete: (all) => all.every((r) => r.ok) });
  } else {
    results = await run(() => undefined);
  }
  if (json) {
    const entries = results.map((r) => (r.ok ? { name: r.name, ...r.output } : { name: r.name, failed: r.reason }));
    process.stdout.write(`${JSON.stringify(entries)}\n`);
  } else {
    for (const r of results) process.stdout.write(`${r.name}: ${r.ok ? r.output : `failed: ${r.reason}`}\n`);
  }
  const failed = results.filter((r) => !r.ok).length;
  if (failed) throw new CommandError(`${failed} of ${results.length} relays failed`);
  return results;
}

module.exports = { relayOrShowOptions, onShow, optionsFor, readRelays };
