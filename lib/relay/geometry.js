'use strict';

// Where every LED and sensor of an installation lies on the player's screen,
// worked out from a topology document with the tile models' own tables. The
// module computes the same thing natively; this copy exists so that the
// relay's picture can be checked against the images sent, independently.
// Arithmetic is rounded to single precision at every step, as the tiles'
// positions are single-precision numbers.

const f = Math.fround;

const R100 = Array.from({ length: 100 }, (_, i) => 10 * (9 - (i % 10)) + Math.floor(i / 10));
const G100X = Array.from({ length: 100 }, (_, i) => 2 * (i % 10) - 9);
const G100Y = Array.from({ length: 100 }, (_, i) => 2 * Math.floor(i / 10) - 9);

const RELAY = { channels: 1, orientations: 1, rotations: 1, offset: 0, tile: false };
const SQUARE = { channels: 4, orientations: 1, rotations: 4, offset: -2, tile: true,
  scaleX: 0.5, scaleY: 0.5, bounds: [-9, 9, -9, 9], turnChannel: [3, 0, 1, 2],
  channelsX: [0, 20, 0, -20], channelsY: [-20, 0, 20, 0], signs: [1],
  ledsX: G100X, ledsY: G100Y, turnLed: R100 };

// Rows by type id. "varna" has a sixth sensor without a table entry: it sits
// at the tile's centre and does not turn.
const TYPES = [
  RELAY, RELAY, RELAY,
  { channels: 6, orientations: 2, rotations: 3, offset: 0, tile: true,
    scaleX: f(1.7320508), scaleY: 1, bounds: [-10, 10, -5, 5],
    turnChannel: [2, 3, 4, 5, 0, 1], channelsX: [-10, -5, 0, 5, 10, 0],
    channelsY: [-10, 5, 20, 5, -10, -10], signs: [1, -1],
    ledsX: [-4, -3, -1, 0, 2, 3, 5, 6, 8, -4, -3, -1, 0, 2, 3, 5, -4, -3, -1, 0, 2, -4, -3, -1, -4,
      -2, 1, 4, -2, 1, -2],
    ledsY: [-4, -3, -3, -2, -2, -1, -1, 0, 0, -2, -1, -1, 0, 0, 1, 1, 0, 1, 1, 2, 2, 2, 3, 3, 4, -2,
      -1, 0, 0, 1, 2],
    turnLed: [8, 7, 15, 14, 20, 19, 23, 22, 24, 6, 5, 13, 12, 18, 17, 21, 4, 3, 11, 10, 16, 2, 1, 9,
      0, 27, 29, 30, 26, 28, 25],
    sensorsX: [-3, 0, 3, 0], sensorsY: [-3, 6, -3, 0], turnSensor: [1, 2, 0, 3] },
  { ...SQUARE, sensorsX: [], sensorsY: [], turnSensor: [] },
  { ...SQUARE, sensorsX: [-5, 5, -5, 5], sensorsY: [-5, -5, 5, 5], turnSensor: [2, 0, 3, 1] },
  { ...SQUARE, scaleX: 0.5, scaleY: 0.5, bounds: [-1, 1, -1, 1], channelsX: [0, 2, 0, -2],
    channelsY: [-2, 0, 2, 0], ledsX: [-1, 1, -1, 1], ledsY: [-1, -1, 1, 1], turnLed: [3, 0, 1, 2],
    sensorsX: [-1, 1, -1, 1, 0, 0], sensorsY: [-1, -1, 1, 1, 0, 0],
    turnSensor: [3, 0, 1, 2, 4, 5] },
];

const typeOf = (type) => TYPES[type] || { channels: 0, orientations: 1, rotations: 1, offset: 0 };
const isTile = (type) => type >= 3 && type <= 6;
const ledCount = (type) => (isTile(type) ? TYPES[type].ledsX.length : 0);
const sensorCount = (type) => (isTile(type) ? TYPES[type].sensorsX.length : 0);

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
    const t = TYPES[module.type];
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
      const t = TYPES[module.type];
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

module.exports = { layout, graph, walk, isTile, ledCount, sensorCount };
