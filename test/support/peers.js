'use strict';

// Peers that misbehave below the frame level: a listener that never accepts
// (connects to it stay pending), a port that refuses, and a relay that keeps
// sending status frames but never reads.

const net = require('net');
const { spawn } = require('child_process');

// A listener in a child process whose event loop is blocked right after it
// listens, so it accepts nothing; once its short queue is filled, every
// further connect to it stays pending. close() ends the child and the fillers.
async function silentListener() {
  const source = `
    const s = require('net').createServer();
    s.listen({ port: 0, host: '127.0.0.1', backlog: 1 }, () => {
      process.stdout.write(s.address().port + '\\n', () => {
        Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0);
      });
    });
  `;
  const child = spawn(process.execPath, ['-e', source], { stdio: ['ignore', 'pipe', 'inherit'] });
  const port = await new Promise((resolve, reject) => {
    let text = '';
    child.stdout.on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve(Number(text.trim()));
    });
    child.once('exit', (code) => reject(new Error(`listener exited with ${code}`)));
  });
  // A backlog of 1 queues two handshakes; the rest of the fillers stay
  // pending themselves. Once two completed, the queue is full.
  const fillers = [];
  let connected = 0;
  await new Promise((resolve) => {
    for (let i = 0; i < 4; i++) {
      const s = net.connect(port, '127.0.0.1');
      s.on('error', () => {});
      s.once('connect', () => {
        if (++connected === 2) resolve();
      });
      fillers.push(s);
    }
  });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  return {
    port,
    async close() {
      for (const s of fillers) s.destroy();
      child.kill('SIGKILL');
      await exited;
    },
  };
}

// A port that nobody listens on: bound, read back and closed at once.
async function refusingPort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// A relay that accepts one connection and sends a status frame (state 1,
// pace 1, announcing `packetSize`, padded to `statusLength` bytes) every
// `periodMs`, but never reads: its receive buffer is made tiny before it
// listens, so a writer to it stalls after a few kilobytes. Node cannot size
// a receive buffer, hence Perl (perl-base, always there).
async function stalledReader({ periodMs = 10, packetSize = 918, statusLength = 18 } = {}) {
  const source = `use Socket; socket(my $l, PF_INET, SOCK_STREAM, 0) or die;
    setsockopt($l, SOL_SOCKET, SO_RCVBUF, pack('i', 2048));
    bind($l, pack_sockaddr_in(0, inet_aton('127.0.0.1'))) or die; listen($l, 1) or die;
    $| = 1; print((unpack_sockaddr_in(getsockname($l)))[0], "\\n"); accept(my $c, $l) or die;
    my $p = pack('vvVvvVv', 1, 1, 0, ${packetSize}, 128, 60, 8); $p .= "\\0" x (${statusLength} - 18);
    $SIG{PIPE} = 'IGNORE';
    while (defined(send($c, pack('vv', 0, length $p) . $p, 0))) { select(undef, undef, undef, ${periodMs / 1000}); }`;
  const child = spawn('perl', ['-e', source], { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const port = await new Promise((resolve, reject) => {
    child.stdout.once('data', (d) => resolve(Number(String(d).trim())));
    child.once('error', reject);
  });
  return { port, close: () => (child.kill('SIGKILL'), exited) };
}

module.exports = { silentListener, refusingPort, stalledReader };
