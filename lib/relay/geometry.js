'use strict';

// Where every LED and sensor of an installation lies on the player's screen,
// worked out from a topology document with the tile models' own tables. The
// module computes the same thing natively; this copy exists so that the
// relay's picture can be checked against the images sent, independently.
// Arithmetic is rounded to single precision at every step, as the tiles'
// positions are single-precision numbers.

const { MODELS, isTile } = require('../models');

const f = Math.fround;

// A type the table lacks has no channels and no shape.
const NO_MODEL = { channels: 0, orientations: 1, rotations: 1, offset: 0 };
const typeOf = (type) => MODELS[type] || NO_MODEL;

// The graph of a document: modules by id, each with its links in the order
// they were given (the first link on a channel wins; channels the type does
// not have are dropped).
function graph(doc) {
  const modules = new Map();
  for (const m of doc) {
    if (!modules.has(m.id)) modules.set(m.id, { id: m.id, type: m.type, links: [] });
  }
  for (const m of doc) {
    const module = modules.get(m.id);
    for (const n of m.neighbours || []) {
      if (!modules.has(n.id)) modules.set(n.id, { id: n.id, type: m.type, links: [] });
      if (n.channel >= typeOf(module.type).channels) continue;
      if (module.links.some((l) => l.channel === n.channel)) continue;
      module.links.push({ channel: n.channel, id: n.id });
    }
  }
  return modules;
}

// Depth-first from the relay: calls visit(module, parent) once per module
// reached, parent undefined for the root.
function walk(modules, visit) {
  const seen = new Set();
  const step = (module, parent) => {
    if (seen.has(module.id)) return;
    seen.add(module.id);
    visit(module, parent);
    for (const link of module.links) step(modules.get(link.id), module);
  };
  if (modules.has(0)) step(modules.get(0), undefined);
}

function facing(module, other) {
  const link = module.links.find((l) => l.id === other.id);
  return link ? link.channel : typeOf(module.type).channels;
}

function turned(table, index, times) {
  let i = index;
  for (let n = 0; n < times; n++) i = table ? table[i] : 0;
  return i;
}

// Every tile's LED and sensor positions on the screen of the installation
// turned by `angle` degrees, and the screen's size.
function layout(doc, angle = 0) {
  const modules = graph(doc);
  const placed = new Map(); // id -> { rotation, orientation, x, y, valid, leds, sensors }
  let minX = 0;
  let minY = 0;
  let maxX = 0;
  let maxY = 0;

  const orient = (module, parent) => {
    const record = { rotation: 0, orientation: 0, x: 0, y: 0, valid: false, leds: [], sensors: [] };
    placed.set(module.id, record);
    if (!parent || !isTile(parent.type)) {
      record.rotation = Math.floor(angle / 90) & 3;
      return record;
    }
    const t = typeOf(module.type);
    const p = placed.get(parent.id);
    const absolute = turned(typeOf(parent.type).turnChannel, facing(parent, module), p.rotation);
    const k = facing(module, parent);
    record.rotation = (((k + t.offset - absolute) % t.rotations) + t.rotations) % t.rotations;
    record.orientation = (p.orientation + 1) % t.orientations;
    return record;
  };

  const place = (module, record) => {
    const t = MODELS[module.type];
    const s = t.signs[record.orientation];
    const point = (xs, ys, turn, i) => {
      const j = turned(turn, i, record.rotation);
      const x = f(f(f((xs[j] || 0) * t.scaleX) * s) + record.x);
      const y = f(f(f((ys[j] || 0) * t.scaleY) * s) + record.y);
      return [x, y];
    };
    for (let i = 0; i < t.ledsX.length; i++) record.leds.push(point(t.ledsX, t.ledsY, t.turnLed, i));
    for (let i = 0; i < t.sensorsX.length; i++) {
      record.sensors.push(point(t.sensorsX, t.sensorsY, t.turnSensor, i));
    }
    const [xf, xt, yf, yt] = t.bounds;
    minX = Math.min(minX, f(f(xf * t.scaleX) + record.x));
    maxX = Math.max(maxX, f(f(xt * t.scaleX) + record.x));
    minY = Math.min(minY, f(f(yf * t.scaleY) + record.y));
    maxY = Math.max(maxY, f(f(yt * t.scaleY) + record.y));
  };

  walk(modules, (module, parent) => {
    const record = orient(module, parent);
    if (!isTile(module.type)) return;
    if (parent && isTile(parent.type)) {
      const t = MODELS[module.type];
      const k = turned(t.turnChannel, facing(module, parent), record.rotation);
      const s = t.signs[record.orientation];
      const p = placed.get(parent.id);
      record.x = f(p.x - f(f(s * t.scaleX) * t.channelsX[k]));
      record.y = f(p.y - f(f(s * t.scaleY) * t.channelsY[k]));
    }
    record.valid = true;
    place(module, record);
  });

  const width = Math.trunc(f(f(maxX - minX) + 1));
  const height = Math.trunc(f(f(maxY - minY) + 1));
  const tiles = new Map();
  for (const [id, r] of placed) {
    if (!r.valid) continue;
    tiles.set(id, {
      id,
      type: modules.get(id).type,
      leds: r.leds.map(([x, y]) => [f(x - minX), f(y - minY)]),
      sensors: r.sensors, // left where the layout put them: the grid only needs their order
    });
  }
  return { width, height, tiles, modules };
}

module.exports = { layout };
