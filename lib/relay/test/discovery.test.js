'use strict';

// The discovery responder, greeted over loopback only.
const test = require('node:test');
const assert = require('node:assert');
const dgram = require('dgram');
const path = require('path');
const { spawn } = require('child_process');
const { DiscoveryResponder, DISCOVERY_PORT } = require('..');

// Greets 127.0.0.1:port with `text` and collects the replies until `count`
// came (then a little longer, for any extra one) or `ms` passed.
async function greet(port, { text = 'Hello relay', count = 1, ms = 3000 } = {}) {
  const socket = dgram.createSocket('udp4');
  const replies = [];
  await new Promise((resolve) => socket.bind(0, '127.0.0.1', resolve));
  await new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    socket.on('message', (m) => {
      replies.push(m.toString('utf8'));
      if (replies.length === count) {
        clearTimeout(timer);
        setTimeout(resolve, 50);
      }
    });
    socket.send(text, port, '127.0.0.1');
  });
  socket.close();
  return replies;
}

test('the responder answers the greeting with its name and TCP port', async () => {
  assert.strictEqual(DISCOVERY_PORT, 9860);
  const cases = [
    [{ tcpPort: 5000 }, ['Hello, relay virtual-relay on port 5000.']],
    [{ tcpPort: 5000, name: 'Stage-A' }, ['Hello, relay Stage-A on port 5000.']],
    [{ tcpPort: 7, relayType: 'relayrpi' }, ['Hello, relay proxySPI on port 7.']],
    [{ tcpPort: 7, relayType: 'relayrpi', name: 'own' }, ['Hello, relay own on port 7.']],
    [{ tcpPort: 8, repeat: 2, name: 'x' }, ['Hello, relay x on port 8.', 'Hello, relay x on port 8.']],
  ];
  for (const [options, expected] of cases) {
    const responder = new DiscoveryResponder({ port: 0, ...options });
    const port = await responder.start();
    try {
      assert.deepStrictEqual(await greet(port, { count: expected.length }), expected,
        JSON.stringify(options));
      assert.strictEqual(responder.greetings.length, 1);
      assert.deepStrictEqual(await greet(port, { text: 'Hello relay!', ms: 150 }), [],
        'not a greeting');
    } finally {
      await responder.stop();
    }
  }
});

test('set changes the next replies; flood keeps replying until stopped', async () => {
  const responder = new DiscoveryResponder({ port: 0, tcpPort: 1 });
  const port = await responder.start();
  responder.set({ name: 'Later', tcpPort: 2, floodMs: 20 });
  const replies = await greet(port, { count: 4 });
  await responder.stop();
  assert.ok(replies.length >= 4, `only ${replies.length} replies`);
  assert.ok(replies.every((r) => r === 'Hello, relay Later on port 2.'));
});

test('the command line starts the responder on loopback', async () => {
  const cli = spawn(process.execPath, [path.join(__dirname, '..', '..', '..', 'bin', 'lc.js'), 'relay', '--port', '0',
    '--discovery-port', '0', '--name', 'Cli', '--relay-type', 'relay'], { stdio: ['ignore', 'pipe', 'pipe'] });
  try {
    let out = '';
    const line = await new Promise((resolve, reject) => {
      cli.stdout.on('data', (chunk) => {
        out += chunk;
        const m = /answering discovery on 127\.0\.0\.1:(\d+) as "(.*)"/.exec(out);
        if (m) resolve(m);
      });
      cli.once('exit', () => reject(new Error(`cli ended: ${out}`)));
    });
    const tcp = /listening on 127\.0\.0\.1:(\d+)/.exec(out)[1];
    assert.strictEqual(line[2], `Hello, relay Cli on port ${tcp}.`);
    assert.deepStrictEqual(await greet(Number(line[1])), [line[2]]);
  } finally {
    cli.kill('SIGINT');
  }
});
