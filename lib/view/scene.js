'use strict';

// What the views draw, read from a virtual relay: the installation's LEDs on
// the player's screen, tile outlines, the colour every LED shows now (as the
// relay decoded the pixel frames it received), and the relay's status.

/** One LED value as the relay decoded it, turned into [r, g, b]. */
function ledColour(value, mode) {
  if (!value) return null;
  if (mode === 'video') return value.length === 1 ? [value[0], value[0], value[0]] : value.slice(0, 3);
  if (mode === 'rgb') return value.slice(0, 3).map((bit) => (bit ? 255 : 0));
  return value[0] ? [255, 255, 255] : [0, 0, 0];
}

// Convex hull (monotone chain) of points [x, y].
function hull(points) {
  const p = [...points].sort((a, b) => a[0] - b[0] || a[1] - b[1]);
  if (p.length < 3) return p;
  const cross = (o, a, b) => (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
  const half = (list) => {
    const out = [];
    for (const q of list) {
      while (out.length >= 2 && cross(out[out.length - 2], out[out.length - 1], q) <= 0) out.pop();
      out.push(q);
    }
    out.pop();
    return out;
  };
  return [...half(p), ...half([...p].reverse())];
}

// A tile's outline: the hull of its LEDs pushed out by half a LED pitch.
function outline(leds) {
  const h = hull(leds);
  if (h.length === 0) return [];
  const cx = h.reduce((s, q) => s + q[0], 0) / h.length;
  const cy = h.reduce((s, q) => s + q[1], 0) / h.length;
  return h.map(([x, y]) => {
    const dx = x - cx;
    const dy = y - cy;
    const d = Math.hypot(dx, dy) || 1;
    return [x + (0.7 * dx) / d, y + (0.7 * dy) / d];
  });
}

/** The installation as the views draw it; null without one. */
function sceneOf(relay) {
  const placed = relay.installation && relay.installation.placed;
  return placed ? sceneOfLayout(placed) : null;
}

/** A layout (as lib/relay/geometry.js places an installation) as the views draw it. */
function sceneOfLayout(placed) {
  const tiles = [];
  for (const [id, tile] of placed.tiles) {
    tiles.push({ id, type: tile.type, leds: tile.leds.map(([x, y]) => [x, y]), outline: outline(tile.leds) });
  }
  tiles.sort((a, b) => a.id - b.id);
  return { width: placed.width, height: placed.height, tiles };
}

/** The colour of every LED of `scene`, tile by tile; null for a LED never lit. */
function coloursOf(relay, scene) {
  const mode = relay.pixelMode;
  return scene.tiles.map((tile) => {
    const values = relay.ledsOf(tile.id) || [];
    return tile.leds.map((_, k) => ledColour(values[k], mode));
  });
}

/**
 * Counts pixel frames as they arrive and gives the rate over the last
 * second or so, with the relay's status words.
 */
class StatusMeter {
  constructor(relay) {
    this.relay = relay;
    this.samples = [];
    this.sample();
  }

  sample(now = Date.now()) {
    const frames = this.relay.pixelStats ? this.relay.pixelStats.frames : 0;
    this.samples.push([now, frames]);
    while (this.samples.length > 2 && now - this.samples[1][0] >= 1000) this.samples.shift();
  }

  status(now = Date.now()) {
    this.sample(now);
    const [t0, f0] = this.samples[0];
    const [t1, f1] = this.samples[this.samples.length - 1];
    const fps = t1 > t0 ? ((f1 - f0) * 1000) / (t1 - t0) : 0;
    const { state, version } = this.relay.status;
    const commands = this.relay.commands;
    return {
      state,
      version,
      luminosity: commands && commands.luminosity !== undefined ? commands.luminosity : null,
      mode: this.relay.pixelMode,
      fps: Math.round(fps * 10) / 10,
    };
  }
}

module.exports = { sceneOf, sceneOfLayout, coloursOf, ledColour, outline, hull, StatusMeter };
