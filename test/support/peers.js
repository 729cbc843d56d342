'use strict';

// Peers that misbehave below the frame level: a listener that never accepts
// (connects to it stay pending) and a port that refuses.

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

module.exports = { silentListener, refusingPort };
