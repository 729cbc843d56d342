'use strict';

// What a process holds that a lost join, an unclosed socket or a leaked
// buffer would make grow: open descriptors, threads and resident memory.

const fs = require('fs');
const { delay } = require('./codes');

require('v8').setFlagsFromString('--expose-gc');
const gc = require('vm').runInNewContext('gc');

function counts() {
  return {
    fds: fs.readdirSync('/proc/self/fd').length,
    threads: fs.readdirSync('/proc/self/task').length,
  };
}

// Collects garbage a few times with turns of the event loop between, so that
// finalizers deferred to the loop run too.
async function collect(rounds = 3) {
  for (let i = 0; i < rounds; i++) {
    gc();
    await delay(10);
  }
}

// Collects until the descriptor and thread counts are back at `baseline` or
// the time is up; returns the last counts, which the caller compares.
async function settleTo(baseline, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  let now = counts();
  while (now.fds !== baseline.fds || now.threads !== baseline.threads) {
    if (Date.now() > deadline) break;
    await collect(1);
    now = counts();
  }
  return now;
}

// Collects until the counts have not changed for a few rounds: a baseline
// taken right after work may still hold what the next collection frees.
async function quiesce(timeoutMs = 3000) {
  const deadline = Date.now() + timeoutMs;
  let last = counts();
  let same = 0;
  while (same < 3 && Date.now() < deadline) {
    await collect(1);
    const now = counts();
    same = now.fds === last.fds && now.threads === last.threads ? same + 1 : 0;
    last = now;
  }
  return last;
}

// Resident memory after a collection, in bytes.
async function rss() {
  await collect();
  return process.memoryUsage().rss;
}

// True when this process runs with AddressSanitizer preloaded: its allocator
// keeps freed memory in quarantine, so resident memory says little there.
const underAsan = /libasan/.test(process.env.LD_PRELOAD || '');

module.exports = { counts, collect, settleTo, quiesce, rss, gc, underAsan };
