'use strict';

const { relayOptions, installationOptions, integer, withLink, installation } = require('../common');

function matrixText(matrix) {
  return matrix.map((row) => row.map((c) => (c ? '#' : '.')).join('')).join('\n');
}

function register(cli) {
  installationOptions(
    relayOptions(
      cli
        .command('topology')
        .description('ask the relay for its installation; print the document and the occupancy matrix')
        .option('--angle <degrees>', 'the installation\'s rotation for the matrix', integer(-3600, 3600), 0)
        .option('--json', 'print one JSON object: {"document": [...], "matrix": [[...]]}'),
    ),
  ).action(async (opts) => {
    const result = await withLink(opts, async (com) => {
      const top = await installation(opts, com);
      return { document: top.getTop(), matrix: top.getMatrix(opts.angle) };
    });
    if (opts.json) {
      process.stdout.write(`${JSON.stringify(result)}\n`);
      return;
    }
    const tiles = result.document.filter((m) => m.id !== 0).length;
    process.stdout.write(`${JSON.stringify(result.document, null, 2)}\n`);
    process.stdout.write(`${tiles} tiles; matrix at ${opts.angle} degrees:\n${matrixText(result.matrix)}\n`);
  });
}

module.exports = { register, matrixText };
