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

// Resolves with [code, signal] once `child` exited and what it wrote has
// been read: its pipes may still hold output when it exits, so this waits
// for them to close as well, for at most 2 s after the exit.
async function exited(child) {
  const closed = new Promise((resolve) => child.once('close', resolve));
  const result = await new Promise((resolve) => child.once('exit', (code, signal) => resolve([code, signal])));
  await Promise.race([closed, new Promise((resolve) => setTimeout(resolve, 2000))]);
  return result;
}

module.exports = { runChild, exited, root };
