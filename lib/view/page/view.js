'use strict';

// Draws the installation: tile outlines and every LED in the colour it
// shows now. The server sends the scene (JSON) once, then the colours as
// binary messages (r, g, b, lit per LED) and the status (JSON).
(function () {
  const SCALE = 14;
  const MARGIN = 1;
  const canvas = document.getElementById('leds');
  const ctx = canvas.getContext('2d');
  const view = { scene: null, scale: SCALE, frames: 0 };
  window.lcView = view;

  const px = (v) => Math.round((v + MARGIN + 0.5) * SCALE);

  // The canvas point at the centre of LED k of tile `id`.
  view.ledAt = function (id, k) {
    const tile = view.scene && view.scene.tiles.find((t) => t.id === id);
    if (!tile || !tile.leds[k]) return null;
    return [px(tile.leds[k][0]), px(tile.leds[k][1])];
  };

  function drawOutlines() {
    ctx.fillStyle = '#000';
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    ctx.strokeStyle = '#8a8aa0';
    ctx.lineWidth = 2;
    for (const tile of view.scene.tiles) {
      if (tile.outline.length < 2) continue;
      ctx.beginPath();
      tile.outline.forEach(([x, y], i) => (i ? ctx.lineTo(px(x), px(y)) : ctx.moveTo(px(x), px(y))));
      ctx.closePath();
      ctx.stroke();
    }
  }

  function setScene(scene) {
    view.scene = scene;
    if (!scene) return;
    canvas.width = (scene.width + 2 * MARGIN + 1) * SCALE;
    canvas.height = (scene.height + 2 * MARGIN + 1) * SCALE;
    document.getElementById('tiles').textContent = String(scene.tiles.length);
    drawOutlines();
    drawLeds(null);
  }

  function drawLeds(bytes) {
    const r = SCALE * 0.38;
    let p = 0;
    for (const tile of view.scene.tiles) {
      for (const [x, y] of tile.leds) {
        const lit = bytes && bytes[p + 3];
        ctx.fillStyle = lit ? `rgb(${bytes[p]},${bytes[p + 1]},${bytes[p + 2]})` : '#282828';
        ctx.beginPath();
        ctx.arc(px(x), px(y), r, 0, 2 * Math.PI);
        ctx.fill();
        p += 4;
      }
    }
    if (view.showIds) drawIds();
  }

  // Each tile's module id at the centre of its LEDs, over the colours, so a
  // tile on the wall can be matched to its id.
  const ids = document.getElementById('ids');
  view.showIds = ids ? ids.checked || /[?&]ids\b/.test(location.search) : false;
  if (ids) {
    ids.checked = view.showIds;
    ids.onchange = () => {
      view.showIds = ids.checked;
      if (view.scene) {
        drawOutlines();
        drawLeds(view.last || null);
      }
    };
  }
  function drawIds() {
    ctx.font = `bold ${Math.round(SCALE * 1.6)}px system-ui, sans-serif`;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'middle';
    ctx.lineWidth = 4;
    ctx.strokeStyle = '#000';
    ctx.fillStyle = '#fff';
    for (const tile of view.scene.tiles) {
      if (!tile.leds.length) continue;
      const x = tile.leds.reduce((s, l) => s + l[0], 0) / tile.leds.length;
      const y = tile.leds.reduce((s, l) => s + l[1], 0) / tile.leds.length;
      ctx.strokeText(String(tile.id), px(x), px(y));
      ctx.fillText(String(tile.id), px(x), px(y));
    }
  }

  function setStatus(s) {
    const hex = (v) => '0x' + (v >>> 0).toString(16).padStart(8, '0');
    document.getElementById('state').textContent = String(s.state);
    document.getElementById('version').textContent = hex(s.version);
    document.getElementById('luminosity').textContent = s.luminosity === null ? 'not set' : String(s.luminosity);
    document.getElementById('mode').textContent = s.mode;
    document.getElementById('fps').textContent = s.fps.toFixed(1);
  }

  function connect() {
    const socket = new WebSocket(`ws://${location.host}/`);
    socket.binaryType = 'arraybuffer';
    const link = document.getElementById('link');
    socket.onopen = () => {
      link.textContent = 'live';
      link.className = '';
    };
    socket.onclose = () => {
      link.textContent = 'disconnected; retrying';
      link.className = 'down';
      setTimeout(connect, 1000);
    };
    socket.onmessage = (event) => {
      if (typeof event.data === 'string') {
        const message = JSON.parse(event.data);
        if (message.kind === 'scene') setScene(message.scene);
        else if (message.kind === 'status') setStatus(message.status);
        return;
      }
      if (!view.scene) return;
      view.last = new Uint8Array(event.data);
      drawLeds(view.last);
      view.frames++;
    };
  }

  connect();
})();
