'use strict';

// Builds the command line and runs one command. Exit codes: 0 done, 1 the
// work failed (one message says why), 2 the command line was wrong, 130
// interrupted (Ctrl-C).
const { COMMANDS } = require('./commands');
const { toolHelp, asksToolHelp } = require('./help');

// The parser and what the commands share load only when a command line is
// parsed: `lc --help` needs neither.
const commander = () => require('commander');
const common = () => require('./common');

/**
 * The command line `args` (without node and the script) is parsed with:
 * the commands it names are built from their files, the others are only
 * their lines in the table, enough to list them and to suggest a name, so
 * that `lc --help` and one command load only what they show or run. Without
 * `args` every command is built.
 */
function program(args) {
  const { Command } = commander();
  const cli = new Command('lc')
    .description('Drive an installation of LED tiles through its relay.')
    .exitOverride()
    .showHelpAfterError('(add --help for usage)')
    .configureHelp({ sortSubcommands: false });
  // A command runs, or shows its help, only when its name is a word of the
  // command line; any such word builds the command, wherever it stands.
  const named = new Set(args ? COMMANDS.filter((c) => args.includes(c.name)).map((c) => c.file) : COMMANDS.map((c) => c.file));
  const built = new Set();
  for (const { name, file, args: operands = [], description } of COMMANDS) {
    if (!named.has(file)) {
      const stub = cli.command(name).description(description);
      for (const operand of operands) stub.argument(operand);
    } else if (!built.has(file)) {
      built.add(file);
      require(`./commands/${file}`).register(cli);
    }
  }
  for (const command of cli.commands) {
    command
      .option('--quiet', 'print only the module\'s error lines')
      .option('--verbose', 'print every module line with its time and source');
  }
  cli.hook('preAction', (_, action) => common().routeLogs(action.opts()));
  return cli;
}

async function command(argv) {
  if (asksToolHelp(argv.slice(2))) {
    process.stdout.write(toolHelp(process.stdout.isTTY ? process.stdout.columns : undefined));
    return 0;
  }
  const cli = program(argv.slice(2));
  const { CommanderError } = commander();
  const { CommandError, interrupt, interrupted } = common();
  // Ctrl-C ends the work through its signal, so that the link and the tiles
  // are left in order; the command then exits 130, as a shell would report.
  const onInterrupt = () => interrupt();
  process.on('SIGINT', onInterrupt);
  try {
    await cli.parseAsync(argv);
    return interrupted() ? 130 : 0;
  } catch (err) {
    if (err instanceof CommanderError) return err.exitCode === 0 ? 0 : 2;
    if (interrupted()) {
      if (err instanceof CommandError) process.stderr.write(`lc: ${err.message}\n`);
      return 130;
    }
    const message = err instanceof CommandError ? err.message : err.stack || String(err);
    process.stderr.write(`lc: ${message}\n`);
    return 1;
  } finally {
    process.off('SIGINT', onInterrupt);
    // Log lines still on their way to the script thread.
    await new Promise((resolve) => setImmediate(resolve));
  }
}

// Resolves once everything written to `stream` so far has left the process,
// with the first error a write met (null when none). The caller exits right
// after, so output still queued for a slow reader would otherwise be cut.
function flushed(stream, failure) {
  return new Promise((resolve) => {
    // A write to a file fails at once, its error event only on a later tick.
    const error = () => failure.error || stream.errored || null;
    if (error() || stream.destroyed || !stream.writable) {
      resolve(error());
      return;
    }
    // Writes complete in order, so the callback of an empty one comes last.
    stream.write('', (err) => resolve(error() || err || null));
  });
}

// The exit code once the output is written: a command that printed only
// part of its result failed, whatever it reported.
async function run(argv) {
  const failure = { error: null };
  const onError = (err) => {
    failure.error = failure.error || err;
  };
  process.stdout.on('error', onError);
  let code = await command(argv);
  const err = await flushed(process.stdout, failure);
  if (err) {
    // A reader that went away needs no word; anything else (a full disk)
    // gets one line.
    if (err.code !== 'EPIPE') {
      process.stderr.write(`lc: could not write the output: ${err.message}\n`);
    }
    code = code === 0 ? 1 : code;
  }
  // The listener stays: a write that fails while the process exits must not
  // become an uncaught error.
  return code;
}

module.exports = { run, program };
