'use strict';

const os = require('os');
const { lazy, choice, TAGS } = require('../common');
const lc = lazy(() => require('../../..'));

const GREETING_PORT = 9860;

// The addresses a search greets, worked out the way the search does: per
// IPv4 address, the network address with its last octet less one (the
// broadcast address of a /24), 127.0.0.1 as itself; and 127.0.0.1 once more.
function greetedAddresses(interfaces = os.networkInterfaces()) {
  const targets = [];
  for (const [name, addresses] of Object.entries(interfaces)) {
    for (const a of addresses || []) {
      if (a.family !== 'IPv4' && a.family !== 4) continue;
      if (a.address === '127.0.0.1') {
        targets.push({ name, local: a.address, target: '127.0.0.1' });
        continue;
      }
      const ip = a.address.split('.').map(Number);
      const mask = a.netmask.split('.').map(Number);
      const net = ip.map((o, i) => o & mask[i]);
      net[3] = (net[3] + 255) % 256;
      targets.push({ name, local: a.address, target: net.join('.') });
    }
  }
  targets.push({ name: 'loopback', local: '127.0.0.1', target: '127.0.0.1' });
  return targets;
}

function register(cli) {
  cli
    .command('discover')
    .description('greet every local IPv4 network and list the relays that answer')
    .option('--type <tag>', 'keep relays of this type (relayrpi keeps the SPI proxy only)', choice(TAGS), 'relay')
    .option('--json', 'print the relays as show-file entries ({"name", "host", "port"}; add "tileType" and "at")')
    .action(async (opts) => {
      const targets = greetedAddresses();
      process.stderr.write(
        `greeting "Hello relay" on UDP port ${GREETING_PORT} to: ` +
          `${targets.map((t) => (t.target === t.local ? t.target : `${t.target} (from ${t.local})`)).join(', ')}\n`,
      );
      const relays = await lc.promises.findRelays(opts.type);
      if (opts.json) {
        process.stdout.write(`${JSON.stringify(require('../../show/entries').showEntries(relays), null, 2)}\n`);
        return;
      }
      if (relays.length === 0) process.stdout.write('no relay answered\n');
      for (const r of relays) process.stdout.write(`${r.name} at ${r.ip}:${r.port}\n`);
    });
}

module.exports = { register, greetedAddresses };
