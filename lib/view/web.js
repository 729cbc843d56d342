'use strict';

// Serves a live picture of a virtual relay's installation on 127.0.0.1: a
// page that draws every tile and LED on a canvas, fed over a WebSocket with
// the scene once and then the LEDs' colours as pixel frames arrive (at most
// every 33 ms) and the relay's status.
const http = require('http');
const fs = require('fs');
const path = require('path');
const { WebSocketServer } = require('ws');
const { sceneOf, sceneOfLayout, coloursOf, StatusMeter } = require('./scene');
const { layout } = require('../relay/geometry');

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

// What the page draws, from one relay.
function relaySource(relay) {
  const meter = new StatusMeter(relay);
  return {
    relays: [relay],
    scene: () => sceneOf(relay),
    colours: (scene) => coloursOf(relay, scene),
    sample: () => meter.sample(),
    status: (now) => meter.status(now),
  };
}

// What the page draws, from several relays on one canvas: each relay's
// screen (its installation at its angle, as the player places it) with its
// top left at `at`; the canvas is their bounding box. Tile ids become
// "name/id", since every relay numbers its tiles from 1.
function showSource(placements) {
  const meters = placements.map((p) => new StatusMeter(p.relay));
  const parts = () => placements.map((p) => {
    const doc = p.relay.installation && p.relay.installation.doc;
    return doc ? sceneOfLayout(layout(doc, p.angle || 0)) : null;
  });
  const scene = () => {
    const tiles = [];
    let width = 0;
    let height = 0;
    let minX = Infinity;
    let minY = Infinity;
    const scenes = parts();
    placements.forEach((p, i) => {
      const s = scenes[i];
      if (!s) return;
      const [x, y] = p.at;
      minX = Math.min(minX, x);
      minY = Math.min(minY, y);
      width = Math.max(width, x + s.width);
      height = Math.max(height, y + s.height);
      const shift = ([a, b]) => [a + x, b + y];
      for (const t of s.tiles) tiles.push({ ...t, id: `${p.name}/${t.id}`, relay: i, tile: t.id, leds: t.leds.map(shift), outline: t.outline.map(shift) });
    });
    if (tiles.length === 0) return null;
    // The canvas starts at the top left of the placed screens.
    const back = ([a, b]) => [a - minX, b - minY];
    for (const t of tiles) {
      t.leds = t.leds.map(back);
      t.outline = t.outline.map(back);
    }
    return { width: width - minX, height: height - minY, tiles };
  };
  return {
    relays: placements.map((p) => p.relay),
    scene,
    colours: (s) => s.tiles.map((t) => {
      const relay = placements[t.relay].relay;
      return coloursOf(relay, { tiles: [{ id: t.tile, leds: t.leds }] })[0];
    }),
    sample: () => meters.forEach((m) => m.sample()),
    // The first relay's words, and the pace of the slowest one.
    status: (now) => {
      const all = meters.map((m) => m.status(now));
      return { ...all[0], fps: Math.min(...all.map((a) => a.fps)) };
    },
  };
}

/** Starts the page for `relay`; resolves with { port, url, refresh(), close() }. */
function startWebView(relay, options = {}) {
  return serve(relaySource(relay), options);
}

/**
 * Starts the page for several relays on one canvas; `placements` are
 * [{ relay, name, at: [x, y], angle }]. Resolves as startWebView does.
 */
function startShowView(placements, options = {}) {
  return serve(showSource(placements), options);
}

async function serve(source, { port = 0 } = {}) {
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
  let scene = source.scene();
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
      broadcast(JSON.stringify({ kind: 'status', status: source.status(now) }));
    }
    if (scene) broadcast(encodeColours(source.colours(scene)));
  };
  const schedule = () => {
    if (!frameTimer) frameTimer = setTimeout(push, FRAME_MS);
  };

  const onFrame = (frame) => {
    if (frame.type === 0 || frame.type === 5) schedule();
  };
  for (const relay of source.relays) relay.on('frame', onFrame);
  // The status goes out now and then even while nothing plays.
  const statusTimer = setInterval(() => {
    source.sample();
    schedule();
  }, STATUS_MS);
  statusTimer.unref();

  wss.on('connection', (socket) => {
    scene = source.scene();
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
      scene = source.scene();
      for (const client of wss.clients) sendScene(client);
    },
    async close() {
      for (const relay of source.relays) relay.off('frame', onFrame);
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

module.exports = { startWebView, startShowView, encodeColours };
