'use strict';

// Collects the codes a "Com" (or any progress-style object) reports, and
// waits for them with a deadline instead of sleeping.
function codeRecorder() {
  const codes = [];
  const firstArgs = [];
  let waiters = [];
  const settle = () => {
    waiters = waiters.filter((w) => {
      if (!w.done()) return true;
      clearTimeout(w.timer);
      w.resolve(codes.slice());
      return false;
    });
  };
  return {
    codes,
    firstArgs,
    callback(first, code) {
      firstArgs.push(first);
      codes.push(code);
      settle();
    },
    // Resolves once `done(codes)` holds; rejects after timeoutMs.
    until(done, timeoutMs = 5000) {
      return new Promise((resolve, reject) => {
        const w = { done: () => done(codes), resolve };
        w.timer = setTimeout(() => {
          waiters = waiters.filter((x) => x !== w);
          reject(new Error(`codes so far ${JSON.stringify(codes)}`));
        }, timeoutMs);
        waiters.push(w);
        settle();
      });
    },
    ended(timeoutMs) {
      return this.until((c) => c.includes(1), timeoutMs);
    },
  };
}

const delay = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls a condition every few milliseconds until it holds or time runs out.
async function eventually(predicate, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error('condition not met in time');
    await delay(5);
  }
}

module.exports = { codeRecorder, delay, eventually };
