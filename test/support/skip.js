'use strict';

// A test's skip reason, for `{ skip: skipFor(reason) }`. Under CI (CI=true) a
// test must not skip for a missing tool or class: a green run would hide the
// missing install step, so the reason fails the run instead.
function skipFor(reason) {
  if (!reason) return false;
  if (process.env.CI === 'true') throw new Error(`CI=true: would skip, which fails under CI: ${reason}`);
  return reason;
}

module.exports = { skipFor };
