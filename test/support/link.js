'use strict';

// The description of a link to a virtual relay on loopback, and a relay
// with a "Com" whose link is up (its first status frame arrived); both end
// with the test.
const assert = require('node:assert');
const lc = require('../..');
const { VirtualRelay } = require('../../lib/relay');
const { codeRecorder } = require('./codes');

const describe = (port, name = 'x') => ({ type: 'TCPIP', ip: '127.0.0.1', port, name });

// A relay with `period` 0 sends no status frame by itself: it sends the one
// that brings the link up once the client is there.
async function linked(t, options = {}) {
  const relay = new VirtualRelay({ period: 20, state: 1, ...options });
  await relay.start();
  const com = new lc.Com();
  const codes = codeRecorder();
  assert.strictEqual(com.start(describe(relay.port), codes.callback), true);
  if (!(relay.period > 0)) {
    await relay.waitForClient();
    relay.sendStatus();
  }
  await codes.until((c) => c.includes(0));
  t.after(async () => {
    com.stop();
    await codes.ended().catch(() => {});
    await relay.stop();
  });
  return { relay, com, codes };
}

module.exports = { describe, linked };
