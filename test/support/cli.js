'use strict';

// Runs the command-line tool in a child process and collects its exit code
// and output; `lines` waits for output lines while it still runs.
const { spawn } = require('child_process');
const path = require('path');

const bin = path.join(__dirname, '..', '..', 'bin', 'lc.js');

function startLc(args, { timeout = 30000, input, env } = {}) {
  const child = spawn(process.execPath, [bin, ...args], { stdio: ['pipe', 'pipe', 'pipe'], env: env || process.env });
  let stdout = '';
  let stderr = '';
  const waiters = [];
  const check = () => {
    for (const w of [...waiters]) {
      const m = stdout.match(w.pattern);
      if (m) {
        waiters.splice(waiters.indexOf(w), 1);
        clearTimeout(w.timer);
        w.resolve(m);
      }
    }
  };
  child.stdout.on('data', (d) => {
    stdout += d;
    check();
  });
  child.stderr.on('data', (d) => {
    stderr += d;
  });
  if (input !== undefined) child.stdin.end(input);
  const timer = setTimeout(() => child.kill('SIGKILL'), timeout);
  const done = new Promise((resolve) => {
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      for (const w of waiters) w.reject(new Error(`lc ${args.join(' ')} ended (${code}) before ${w.pattern}\n${stderr}`));
      resolve({ code, signal, stdout, stderr });
    });
  });
  return {
    child,
    done,
    // Resolves with the match of `pattern` in the output so far or to come.
    waitFor(pattern, ms = 15000) {
      return new Promise((resolve, reject) => {
        const w = { pattern, resolve, reject };
        w.timer = setTimeout(() => {
          waiters.splice(waiters.indexOf(w), 1);
          reject(new Error(`no ${pattern} from lc ${args.join(' ')} in ${ms} ms; so far:\n${stdout}\n${stderr}`));
        }, ms);
        waiters.push(w);
        check();
      });
    },
  };
}

const runLc = (args, options) => startLc(args, options).done;

module.exports = { runLc, startLc, bin };
