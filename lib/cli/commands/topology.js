'use strict';

const { installationOptions, integer, withLink, installation, readDocument, tagOf, CommandError, interruptSignal } = require('../common');
const { relayOrShowOptions: relayOptions, onShow } = require('../each');
const { compareTopology, describeDifferences } = require('../../show/compare');
const { liveTopology } = require('../../show/each');

function matrixText(matrix) {
  return matrix.map((row) => row.map((c) => (c ? '#' : '.')).join('')).join('\n');
}

// The relay's installation against the saved document: the lines of what
// differs; `failed` tells whether any did.
async function check(com, opts, saved) {
  // The live side is always the relay's answer, never the saved file.
  const live = opts.tileType
    ? await liveTopology(com, opts, interruptSignal())
    : await installation({ ...opts, topology: undefined }, com);
  const diff = compareTopology(saved, live.getTop(), tagOf);
  return { same: diff.same, lines: describeDifferences(diff), modules: live.getTop().length };
}

function register(cli) {
  installationOptions(
    relayOptions(
      cli
        .command('topology')
        .description('ask the relay for its installation; print the document and the occupancy matrix')
        .option('--angle <degrees>', 'the installation\'s rotation for the matrix', integer(-3600, 3600), 0)
        .option('--check [saved]', 'compare the installation with a saved document (with --show: each relay\'s "topology")')
        .option('--json', 'print one JSON object: {"document": [...], "matrix": [[...]]}'),
    ),
  ).action(async (opts) => {
    if (opts.check !== undefined) {
      await checkCommand(opts);
      return;
    }
    const read = async (com, o) => {
      const top = await installation(o, com);
      return { document: top.getTop(), matrix: top.getMatrix(o.angle) };
    };
    if (opts.show) {
      await onShow(opts, async (com, o) => {
        const r = await read(com, o);
        return opts.json ? JSON.stringify(r) : `${r.document.filter((m) => m.id !== 0).length} tiles, matrix ${r.matrix[0] ? r.matrix[0].length : 0}x${r.matrix.length} at ${o.angle} degrees`;
      });
      return;
    }
    const result = await withLink(opts, (com) => read(com, opts));
    if (opts.json) {
      process.stdout.write(`${JSON.stringify(result)}\n`);
      return;
    }
    const tiles = result.document.filter((m) => m.id !== 0).length;
    process.stdout.write(`${JSON.stringify(result.document, null, 2)}\n`);
    process.stdout.write(`${tiles} tiles; matrix at ${opts.angle} degrees:\n${matrixText(result.matrix)}\n`);
  });
}

async function checkCommand(opts) {
  if (opts.show) {
    if (opts.check !== true) throw new CommandError('with --show, --check takes no file: each relay\'s "topology" is its saved document');
    await onShow(opts, async (com, o) => {
      if (!o.topology) throw new CommandError('no saved "topology" in the show file');
      const r = await check(com, o, readDocument(o.topology));
      if (!r.same) throw new CommandError(r.lines.join('; '));
      return `as saved (${r.modules} modules)`;
    });
    return;
  }
  if (opts.check === true) throw new CommandError('--check needs the saved topology document');
  const saved = readDocument(opts.check);
  const r = await withLink(opts, (com) => check(com, { ...opts, topology: undefined }, saved));
  if (r.same) {
    process.stdout.write(`as saved in ${opts.check} (${r.modules} modules)\n`);
    return;
  }
  process.stdout.write(`${r.lines.join('\n')}\n`);
  throw new CommandError(`the installation differs from ${opts.check} in ${r.lines.length} module${r.lines.length > 1 ? 's' : ''}`);
}

module.exports = { register, matrixText };
