'use strict';

// Runs discovery scenarios in private network namespaces. A search greets
// every local network, so it must never run where the machine's real
// interfaces are: each scenario is a child process started with `unshare -n`,
// which sees only the loopback interface and the veth pairs it makes itself.
const fs = require('fs');
const path = require('path');
const { execFileSync, spawn, spawnSync } = require('child_process');

const scenarioFile = path.join(__dirname, 'discovery-scenario.js');

// Why namespaces cannot be made here, or null when they can.
function namespaceProblem() {
  const r = spawnSync('unshare', ['-n', 'ip', 'link', 'set', 'lo', 'up'], { encoding: 'utf8' });
  if (r.error) return `unshare or ip missing (${r.error.code})`;
  if (r.status !== 0) return `unshare -n failed: ${(r.stderr || '').trim()} (needs root)`;
  return null;
}

// The scenario's RESULT line as an object; rejects with its output when it
// fails.
// Generous: a sanitizer run on a loaded machine starts node slowly.
function runScenario(name, { timeoutMs = 120000 } = {}) {
  const hostNamespace = fs.readlinkSync('/proc/self/ns/net');
  const child = spawn('unshare', ['-n', process.execPath, '--expose-gc', scenarioFile, name,
    hostNamespace], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (c) => { stdout += c; });
  child.stderr.on('data', (c) => { stderr += c; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      const line = stdout.split('\n').find((l) => l.startsWith('RESULT '));
      if (code !== 0 || !line) {
        reject(new Error(`scenario ${name} ended with ${code ?? signal}\n${stdout}\n${stderr}`));
        return;
      }
      resolve(JSON.parse(line.slice('RESULT '.length)));
    });
  });
}

// The command line that runs `args` in a private network namespace.
function inPrivateNamespace(args) {
  return ['unshare', ['-n', ...args]];
}

// The interfaces of this process's network namespace, from the kernel's own
// per-namespace list (sysfs may still show the machine's).
function interfaces() {
  return fs.readFileSync('/proc/self/net/dev', 'utf8').split('\n').slice(2)
    .map((l) => l.split(':')[0].trim()).filter(Boolean).sort();
}

// For a process that greets networks, before it sends anything: brings lo up
// and goes on only where lo is the one interface there is, whatever it was
// started with; `hostNamespace`, when given, names a namespace (the
// machine's own) it must not be in either.
function enterPrivateNamespace(hostNamespace) {
  if (hostNamespace !== undefined && fs.readlinkSync('/proc/self/ns/net') === hostNamespace) {
    throw new Error('refusing to run: in the machine\'s own network namespace');
  }
  if (JSON.stringify(interfaces()) !== '["lo"]') {
    throw new Error(`refusing to run: interfaces ${interfaces()} besides or instead of lo`);
  }
  // The system tool runs without the sanitizer runtimes a sanitizer run
  // preloads into node.
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  const ip = (...args) => execFileSync('ip', args, { encoding: 'utf8', env,
    stdio: ['ignore', 'pipe', 'pipe'] });
  ip('link', 'set', 'lo', 'up');
  const links = ip('-o', 'link', 'show').trim().split('\n').map((l) => l.split(':')[1].trim());
  if (JSON.stringify(links) !== '["lo"]') {
    throw new Error(`refusing to run: unexpected interfaces ${links}`);
  }
}

module.exports = { namespaceProblem, runScenario, inPrivateNamespace, enterPrivateNamespace, interfaces };
