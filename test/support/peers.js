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
// pace 1) every `periodMs`, but never reads: its receive buffer is made
// tiny before it listens, so a writer to it stalls after a few kilobytes.
// `packetSize` is the one it announces (what a player's frames weigh);
// `statusLength` pads each status payload, for a relay that sends much.
// Node cannot size a receive buffer, so the peer is a short Perl program
// (perl-base, always there). It ends when its connection is closed.
async function stalledReader({ periodMs = 10, packetSize = 918, statusLength = 18 } = {}) {
  const source = `
    use Socket;
    socket(my $l, PF_INET, SOCK_STREAM, 0) or die;
    setsockopt($l, SOL_SOCKET, SO_RCVBUF, pack('i', 2048));
    bind($l, pack_sockaddr_in(0, inet_aton('127.0.0.1'))) or die;
    listen($l, 1) or die;
    my ($port) = unpack_sockaddr_in(getsockname($l));
    $| = 1;
    print "$port\n";
    accept(my $c, $l) or die;
    close($l);
    $SIG{PIPE} = 'IGNORE';
    my $payload = pack('vvVvvVv', 1, 1, 0, ${packetSize}, 128, 60, 8);
    $payload .= "\\0" x (${statusLength} - length($payload));
    my $status = pack('vv', 0, length($payload)) . $payload;
    while (1) {
      defined(send($c, $status, 0)) or exit 0;
      my $rin = '';
      vec($rin, fileno($c), 1) = 1;
      # Wakes early only when the peer hangs up or resets.
      my $ein = $rin;
      select(undef, undef, $ein, ${periodMs} / 1000);
    }
  `;
  const child = spawn('perl', ['-e', source], { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const port = await new Promise((resolve, reject) => {
    let text = '';
    child.stdout.on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve(Number(text.trim()));
    });
    child.once('error', reject);
    child.once('exit', (code) => reject(new Error(`stalled reader exited with ${code}`)));
  });
  return {
    port,
    exited,
    async close() {
      child.kill('SIGKILL');
      await exited;
    },
  };
}

module.exports = { silentListener, refusingPort, stalledReader };
