'use strict';

// Relay discovery end to end. Every search runs in a private network
// namespace (see support/netns.js): a relay on "another machine" is a second
// namespace joined by a veth pair, 10.200.0.1 here and 10.200.0.2 there.
const { describe, it } = require('node:test');
const assert = require('node:assert');
const { namespaceProblem, runScenario } = require('./support/netns');

const problem = namespaceProblem();
const skip = require('./support/skip').skipFor(problem ? `network namespaces unavailable, discovery not tested: ${problem}` : false);

const relay = (ip, name, port) => ({ ip, name, port, type: 'TCPIP' });
const byPort = (list) => [...list].sort((a, b) => a.port - b.port);

describe('RelayFinder', { concurrency: true, skip }, () => {
  it('reports remote relays once per address and port, filtered by relay type', async () => {
    const results = await runScenario('remote');
    const byTag = Object.fromEntries(results.map((r) => [r.tag, r]));
    for (const r of results) {
      assert.strictEqual(r.queued, true);
      assert.strictEqual(r.firstArgument, 'undefined');
      // One greeting pass, then a second of quiet: well before the bound.
      assert.ok(r.seconds >= 0.9 && r.seconds < 8, `${r.tag}: ${r.seconds} s`);
    }
    const stage = [relay('10.200.0.2', 'Stage-A', 5000), relay('10.200.0.2', 'Stage-A', 5001)];
    const proxy = relay('10.200.0.2', 'proxySPI', 5003);
    // The remote "simulator" is nobody's relay; answering twice is one relay.
    assert.deepStrictEqual(byPort(byTag.relay.relays), stage);
    assert.deepStrictEqual(byTag.relayrpi.relays, [proxy]);
    assert.deepStrictEqual(byTag.quadra.relays, []);
    assert.deepStrictEqual(byPort(byTag.lamp.relays), [...stage, proxy]);
  });

  it('reports the local relay as 127.0.0.1, once, simulator or not', async () => {
    const { errors, one, unheld, greeters, two, leaked } = await runScenario('local');
    assert.deepStrictEqual(errors, [
      'TypeError: relay tag must be a string',
      'TypeError: callback must be a function',
      "TypeError: Class constructors cannot be invoked without 'new'",
    ]);
    // Greeted on loopback and through the interface's broadcast address.
    assert.deepStrictEqual(greeters, ['10.200.0.1', '127.0.0.1']);
    assert.deepStrictEqual(one.relays, [relay('127.0.0.1', 'simulator', 6001)]);
    assert.deepStrictEqual(unheld, one.relays, 'a collected finder still reports');
    assert.strictEqual(leaked, 0, 'descriptors left open');
    assert.strictEqual(two.relays.length, 1, JSON.stringify(two.relays));
    assert.strictEqual(two.relays[0].ip, '127.0.0.1');
    assert.ok([6001, 6002].includes(two.relays[0].port));
  });

  it('ends a search at its bound while replies keep coming, and at once on terminate', async () => {
    const { result, terminateSeconds } = await runScenario('flood');
    assert.deepStrictEqual(result.relays, [relay('10.200.0.2', 'Noisy', 5000)]);
    assert.ok(result.seconds >= 9.9 && result.seconds < 13, `${result.seconds} s`);
    assert.ok(terminateSeconds < 1, `terminate took ${terminateSeconds} s`);
  });

  it('finds a relay that "Com" starts as it is', async () => {
    const { relays, started, codes } = await runScenario('com');
    assert.strictEqual(relays.length, 1);
    assert.strictEqual(relays[0].ip, '10.200.0.2');
    assert.strictEqual(relays[0].name, 'Bench');
    assert.strictEqual(started, true);
    assert.deepStrictEqual(codes, [0, 1]);
  });
});
