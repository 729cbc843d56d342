'use strict';
// The script side of the topology: `new Topology(doc)` beside JSON.parse of
// the same document's text (the runtime's own floor for reading it), and
// getMatrix on grids and staircases, whose time includes turning the rows
// into script arrays (bench_topology times the native part alone).
//
//   make addon && node bench/compare_topology.js

const path = require('node:path');
const lc = require(path.join(__dirname, '..'));

// The grid of bench_topology.cc: square tiles 40 columns wide (10 below 40
// tiles), joined on all four sides, behind a relay joined to tile 1.
function grid(tiles) {
  const width = tiles < 40 ? 10 : 40;
  const doc = [{ id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] }];
  for (let i = 0; i < tiles; i++) {
    const id = i + 1;
    const c = i % width;
    const r = Math.floor(i / width);
    const neighbours = [];
    if (i === 0) neighbours.push({ channel: 0, id: 0, child: 0 });
    if (r > 0) neighbours.push({ channel: 0, id: id - width, child: 0 });
    if (c + 1 < width && i + 1 < tiles) neighbours.push({ channel: 1, id: id + 1, child: 1 });
    if (i + width < tiles) neighbours.push({ channel: 2, id: id + width, child: c === 0 ? 1 : 0 });
    if (c > 0) neighbours.push({ channel: 3, id: id - 1, child: 0 });
    doc.push({ id, type: 4, neighbours });
  }
  return doc;
}

// Tiles joined alternately east and south.
function staircase(tiles) {
  const doc = [{ id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] }];
  for (let id = 1; id <= tiles; id++) {
    const neighbours = [];
    if (id === 1) neighbours.push({ channel: 0, id: 0, child: 0 });
    else neighbours.push({ channel: id % 2 === 0 ? 3 : 0, id: id - 1, child: 0 });
    if (id < tiles) neighbours.push({ channel: (id + 1) % 2 === 0 ? 1 : 2, id: id + 1, child: 1 });
    doc.push({ id, type: 4, neighbours });
  }
  return doc;
}

// Median milliseconds of five timed runs after a warm-up.
function ms(fn) {
  const once = () => {
    let runs = 0;
    const start = process.hrtime.bigint();
    let elapsed = 0n;
    while (elapsed < 100_000_000n || runs < 2) {
      fn();
      runs++;
      elapsed = process.hrtime.bigint() - start;
    }
    return Number(elapsed) / runs / 1e6;
  };
  once();
  const all = [once(), once(), once(), once(), once()].sort((a, b) => a - b);
  return all[2];
}

const rows = [];
for (const tiles of [1000, 10000]) {
  const doc = grid(tiles);
  const text = JSON.stringify(doc);
  const parse = ms(() => JSON.parse(text));
  const construct = ms(() => new lc.Topology(doc));
  // The same document through its text (a toJSON on the array takes that
  // road): how every document was read before.
  const copy = [...doc];
  copy.toJSON = () => doc;
  const throughText = ms(() => new lc.Topology(copy));
  rows.push({
    what: `new Topology through text, grid ${tiles}`,
    'ms': throughText.toFixed(3),
    'JSON.parse ms': parse.toFixed(3),
    'ratio': (throughText / parse).toFixed(2),
  });
  rows.push({
    what: `new Topology, grid ${tiles}`,
    'ms': construct.toFixed(3),
    'JSON.parse ms': parse.toFixed(3),
    'ratio': (construct / parse).toFixed(2),
    'aim': '<= 2',
  });
  // getTop beside JSON.stringify of the document it returns.
  const top = new lc.Topology(doc);
  const answer = top.getTop();
  const getTop = ms(() => top.getTop());
  const stringify = ms(() => JSON.stringify(answer));
  rows.push({
    what: `getTop, grid ${tiles}`,
    'ms': getTop.toFixed(3),
    'JSON.stringify ms': stringify.toFixed(3),
    'ratio': (getTop / stringify).toFixed(2),
    'aim': '<= 2',
  });
}
// The same answer written in plain JavaScript from its cells, one byte each.
function plainMatrix(cells, height, width) {
  const out = new Array(height);
  for (let i = 0, k = 0; i < height; i++) {
    const row = new Array(width);
    for (let j = 0; j < width; j++) row[j] = cells[k++];
    out[i] = row;
  }
  return out;
}
for (const [name, make, tiles] of [['grid', grid, 12], ['grid', grid, 100],
  ['grid', grid, 1000], ['grid', grid, 10000],
  ['grid', grid, 30000], ['staircase', staircase, 2000], ['staircase', staircase, 6000]]) {
  const top = new lc.Topology(make(tiles));
  const matrix = top.getMatrix(0);
  const cells = Uint8Array.from(matrix.flat());
  const ours = ms(() => top.getMatrix(0));
  const plain = ms(() => plainMatrix(cells, matrix.length, matrix[0].length));
  // Repeated calls hand out a kept matrix; bench_topology times the walk.
  rows.push({
    what: `getMatrix, ${name} ${tiles} (${matrix.length} x ${matrix[0].length})`,
    'ms': ours.toPrecision(3),
    'plain JS ms': plain.toPrecision(3),
    'ratio': (ours / plain).toFixed(2),
    'aim': '<= 2',
  });
}
console.log(`node ${process.version}, load ${require('node:os').loadavg()[0].toFixed(2)}`);
console.table(rows);
