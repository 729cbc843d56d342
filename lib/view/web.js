'use strict';

// Serves a live picture of a virtual relay's installation on 127.0.0.1: a
// page that draws every tile and LED on a canvas, fed over a WebSocket with
// the scene once and then the LEDs' colours as pixel frames arrive (at most
// every 33 ms) and the relay's status.
const http = require('http');
const fs = require('fs');
const path = require('path');
const { WebSocketServer } = require('ws');
const { sceneOf, coloursOf, StatusMeter } = require('./scene');

const PAGE = path.join(__dirname, 'page');
const FILES = {
  '/': ['index.html', 'text/html; charset=utf-8'],
  '/view.js': ['view.js', 'text/javascript; charset=utf-8'],
};
const FRAME_MS = 33;
const STATUS_MS = 250;

// The LED colours as one binary message: r, g, b, lit per LED, tile by tile.
function encodeColours(colours) {
  let n = 0;
  for (const tile of colours) n += tile.length;
  const out = Buffer.alloc(4 * n);
  let p = 0;
  for (const tile of colours) {
    for (const c of tile) {
      if (c) {
        out[p] = c[0];
        out[p + 1] = c[1];
        out[p + 2] = c[2];
        out[p + 3] = 1;
      }
      p += 4;
    }
  }
  return out;
}

/** Starts the page for `relay`; resolves with { port, url, close() }. */
async function startWebView(relay, { port = 0 } = {}) {
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    const entry = FILES[url.pathname];
    if (req.method !== 'GET' || !entry) {
      res.writeHead(404, { 'content-type': 'text/plain' });
      res.end('not found\n');
      return;
    }
    res.writeHead(200, { 'content-type': entry[1], 'cache-control': 'no-store' });
    res.end(fs.readFileSync(path.join(PAGE, entry[0])));
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => {
      server.off('error', reject);
      resolve();
    });
  });
  // Made once the port is bound: it would re-emit a failed listen as an
  // unhandled error of its own.
  const wss = new WebSocketServer({ server });
  wss.on('error', () => {});
  const meter = new StatusMeter(relay);
  let scene = sceneOf(relay);
  let frameTimer = null;
  let lastStatus = 0;

  const broadcast = (data) => {
    for (const client of wss.clients) if (client.readyState === 1) client.send(data);
  };
  const sendScene = (socket) => socket.send(JSON.stringify({ kind: 'scene', scene }));
  const push = () => {
    frameTimer = null;
    if (wss.clients.size === 0) return;
    const now = Date.now();
    if (now - lastStatus >= STATUS_MS) {
      lastStatus = now;
      broadcast(JSON.stringify({ kind: 'status', status: meter.status(now) }));
    }
    if (scene) broadcast(encodeColours(coloursOf(relay, scene)));
  };
  const schedule = () => {
    if (!frameTimer) frameTimer = setTimeout(push, FRAME_MS);
  };

  const onFrame = (frame) => {
    if (frame.type === 0 || frame.type === 5) schedule();
  };
  relay.on('frame', onFrame);
  // The status goes out now and then even while nothing plays.
  const statusTimer = setInterval(() => {
    meter.sample();
    schedule();
  }, STATUS_MS);
  statusTimer.unref();

  wss.on('connection', (socket) => {
    scene = sceneOf(relay);
    sendScene(socket);
    lastStatus = 0;
    schedule();
  });

  const bound = server.address().port;
  return {
    port: bound,
    url: `http://127.0.0.1:${bound}/`,
    // Call after the installation changed: open pages redraw it.
    refresh() {
      scene = sceneOf(relay);
      for (const client of wss.clients) sendScene(client);
    },
    async close() {
      relay.off('frame', onFrame);
      clearInterval(statusTimer);
      clearTimeout(frameTimer);
      for (const client of wss.clients) client.terminate();
      await new Promise((resolve) => wss.close(() => resolve()));
      // A browser keeps its page's connection open; close() would wait for it.
      const closed = new Promise((resolve) => server.close(() => resolve()));
      server.closeAllConnections();
      await closed;
    },
  };
}

module.exports = { startWebView, encodeColours };
