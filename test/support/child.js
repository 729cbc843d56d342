'use strict';

// Runs a snippet of script in a fresh node process with the module loaded as
// `lc`, and returns its exit code and output streams.
const { spawnSync } = require('child_process');
const path = require('path');

const root = path.join(__dirname, '..', '..');

function runChild(source, { timeout = 20000 } = {}) {
  const prelude = `const lc = require(${JSON.stringify(root)});\n`;
  const r = spawnSync(process.execPath, ['-e', prelude + source], {
    encoding: 'utf8',
    timeout,
  });
  return { status: r.status, signal: r.signal, stdout: r.stdout, stderr: r.stderr };
}

module.exports = { runChild, root };
