'use strict';

// What the commands share: argument parsers, the link to the relay named by
// --host/--port, the installation, progress bars and the error a command
// fails with.
const fs = require('fs');
const { InvalidArgumentError } = require('commander');
const { hostProblem } = require('../hosts');

/**
 * A module loaded at the first use of one of its exports. Building the
 * command line, and printing its help, needs neither the native module nor
 * what the commands run on, so these load only when a command runs.
 */
function lazy(load) {
  let loaded = null;
  return new Proxy({}, {
    get: (_, key) => (loaded = loaded || load())[key],
  });
}

const lc = lazy(() => require('../..'));
const { say, withProgress } = require('../progress');
const { MODELS, RELAY_TAGS, TILE_TAGS, TAGS } = require('../models');

const promises = () => lc.promises;

/** A failure of the work itself: one message, exit code 1. */
class CommandError extends Error {}

// Ctrl-C: aborts the signal every waiting operation of a command is given.
const interruption = new AbortController();
const interrupt = () => interruption.abort();
const interrupted = () => interruption.signal.aborted;
const interruptSignal = () => interruption.signal;

/**
 * The module's lines go through here instead of straight to standard error:
 * errors only with --quiet, time and source too with --verbose.
 */
function routeLogs(opts = {}) {
  lc.logs.setConsole(false);
  lc.logs.removeAllListeners('line');
  lc.logs.on('line', ({ level, time, source, message }) => {
    if (opts.quiet && level !== 'ERROR') return;
    say(opts.verbose ? `[${level}][${new Date(time).toISOString()}][${source}] ${message}` : `${source}: ${message}`);
  });
}

function integer(min, max) {
  return (text) => {
    if (!/^-?\d+$/.test(String(text).trim())) throw new InvalidArgumentError('not a whole number.');
    const value = Number(text);
    if (value < min || value > max) throw new InvalidArgumentError(`must be ${min} to ${max}.`);
    return value;
  };
}

const port = integer(0, 65535);

// A dotted IPv4 address or a host name (resolved when connecting).
function host(text) {
  const problem = hostProblem(text);
  if (problem) throw new InvalidArgumentError(problem);
  return String(text);
}

function choice(values) {
  return (text) => {
    if (!values.includes(text)) throw new InvalidArgumentError(`one of ${values.join(', ')}.`);
    return text;
  };
}

const MODES = ['video', 'rgb', 'mask'];

// Adds --host and --port (required) to a command that talks to a relay.
function relayOptions(command) {
  return command
    .option('--host <address>', 'the relay\'s IPv4 address or host name', host, '127.0.0.1')
    .requiredOption('--port <number>', 'the relay\'s TCP port', port);
}

// Adds the options naming the installation: a document, or the relay's own
// records read with the given types.
function installationOptions(command) {
  return command
    .option('--topology <file>', 'the installation as a topology document (JSON) instead of asking the relay')
    .option('--relay-type <tag>', 'the relay\'s type when asking it', choice(RELAY_TAGS), 'relay')
    .option('--tile-type <tag>', 'the tiles\' type when asking the relay (found from the records when absent)', choice(TILE_TAGS));
}

/** Connects to the relay named by the options; fails after `timeoutMs`. */
async function connect(opts, timeoutMs = 12000) {
  const com = new (promises().Com)();
  const signal = AbortSignal.any([AbortSignal.timeout(timeoutMs), interruptSignal()]);
  try {
    await com.start({ type: 'TCPIP', ip: opts.host, port: opts.port, name: 'lc' }, { signal });
  } catch (err) {
    if (interrupted()) throw new CommandError('interrupted while connecting');
    if (err.code === 'ENOTFOUND' || err.code === 'EAI_AGAIN') {
      throw new CommandError(`cannot resolve the host name ${opts.host}`);
    }
    throw new CommandError(
      err.code === 'ERR_LC_ABORTED'
        ? `no relay answered at ${opts.host}:${opts.port} within ${timeoutMs / 1000} s`
        : err.reason || `no relay answered at ${opts.host}:${opts.port}`,
    );
  }
  return com;
}

/** Runs `work(com)` on a link and always ends the link afterwards. */
async function withLink(opts, work) {
  const com = await connect(opts);
  try {
    return await work(com);
  } finally {
    await com.stop();
  }
}

function readDocument(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw new CommandError(`cannot read ${file}: ${err.code || err.message}`);
  }
  try {
    const doc = JSON.parse(text);
    if (!Array.isArray(doc)) throw new Error('not an array of modules');
    return doc;
  } catch (err) {
    throw new CommandError(`${file} is not a topology document: ${err.message}`);
  }
}

// The models whose records look alike: four channels each.
const SQUARE_TAGS = MODELS.filter((m) => m.tile && m.channels === 4).map((m) => m.tag);
const sayList = (words) => `${words.slice(0, -1).join(', ')} and ${words[words.length - 1]}`;

/** The installation: from --topology, or asked from the relay on `com`. */
async function installation(opts, com) {
  const { Topology } = promises();
  if (opts.topology) {
    const top = new Topology(readDocument(opts.topology));
    try {
      top.getTop();
    } catch (err) {
      throw new CommandError(`${opts.topology} has no relay (module 0)`);
    }
    return top;
  }
  if (opts.tileType) {
    const top = new Topology();
    try {
      await top.update(opts.relayType, opts.tileType, com, { signal: interruptSignal() });
    } catch (err) {
      throw new CommandError('the relay did not send its installation');
    }
    return top;
  }
  // The records carry no type, only links by channel: a triangle has three
  // channels, the square models four each, so the records can tell a delta
  // installation from a square one, and no square model from another.
  const attempt = async (tag, signal) => {
    const top = new Topology();
    try {
      await top.update(opts.relayType, tag, com, { signal });
      return top;
    } catch (err) {
      if (interrupted()) throw new CommandError('interrupted while reading the installation');
      return null;
    }
  };
  // A wrong type is only found out at the update's bound; a delta reading
  // that fits comes as fast as the records.
  const delta = await attempt('delta', AbortSignal.any([AbortSignal.timeout(3000), interruptSignal()]));
  const square = await attempt('quadra', interruptSignal());
  if (!delta && !square) throw new CommandError('the relay did not send its installation (give --tile-type to name the tiles\' type)');
  if (delta && !square) return delta;
  say(delta
    ? 'lc: the records fit delta and square tiles alike; reading them as quadra (give --tile-type delta otherwise)'
    : `lc: square tiles, read as quadra: the records cannot tell ${sayList(SQUARE_TAGS)} apart (give --tile-type otherwise)`);
  return square;
}

module.exports = {
  lazy,
  CommandError,
  interrupt,
  interrupted,
  interruptSignal,
  routeLogs,
  say,
  integer,
  port,
  host,
  choice,
  relayOptions,
  installationOptions,
  connect,
  withLink,
  installation,
  withProgress,
  readDocument,
  RELAY_TAGS,
  TILE_TAGS,
  TAGS,
  MODES,
};
