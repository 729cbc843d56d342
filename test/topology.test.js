'use strict';

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');

// A dozen square tiles on a grid of 5 columns and 3 rows, behind a relay
// joined to the top-left tile's channel 0. Square channels: 0 north, 1 east,
// 2 south, 3 west.
const shape = [
  [1, 1, 1, 1, 0],
  [0, 1, 1, 1, 1],
  [1, 1, 1, 0, 1],
];

function installation(type) {
  const ids = new Map();
  let next = 1;
  // Ids in breadth-first order from the top-left tile; each tile's parent is
  // the tile it was first reached from.
  const parent = new Map();
  const queue = [[0, 0]];
  ids.set('0,0', next++);
  parent.set(1, 0);
  const dirs = [
    [0, -1, 0, 2],
    [1, 0, 1, 3],
    [0, 1, 2, 0],
    [-1, 0, 3, 1],
  ];
  const at = (c, r) => r >= 0 && r < shape.length && c >= 0 && c < shape[0].length && shape[r][c];
  while (queue.length) {
    const [c, r] = queue.shift();
    for (const [dc, dr] of dirs) {
      const key = `${c + dc},${r + dr}`;
      if (!at(c + dc, r + dr) || ids.has(key)) continue;
      ids.set(key, next++);
      parent.set(ids.get(key), ids.get(`${c},${r}`));
      queue.push([c + dc, r + dr]);
    }
  }
  const doc = [{ id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] }];
  for (const [key, id] of ids) {
    const [c, r] = key.split(',').map(Number);
    const neighbours = id === 1 ? [{ channel: 0, id: 0, child: 0 }] : [];
    for (const [dc, dr, mine] of dirs) {
      const other = ids.get(`${c + dc},${r + dr}`);
      if (other === undefined) continue;
      neighbours.push({ channel: mine, id: other, child: parent.get(other) === id ? 1 : 0 });
    }
    doc.push({ id, type, neighbours });
  }
  return doc;
}

const byId = (doc) => [...doc].sort((a, b) => a.id - b.id);

// The grid turned by quarter steps: a tile east of another ends up north of
// it after one step.
function turned(steps) {
  let m = shape;
  for (let s = 0; s < steps; s++) {
    m = m[0].map((_, i) => m.map((row) => row[row.length - 1 - i]));
  }
  return m;
}

test('a dozen tiles: the document comes back and the matrix turns with the angle', () => {
  const doc = installation(5);
  assert.strictEqual(doc.length, 13);
  const top = new lc.Topology(doc);

  const back = top.getTop();
  assert.ok(Array.isArray(back));
  assert.strictEqual(back[0].id, 0);
  assert.strictEqual(back[1].id, 1);
  assert.deepStrictEqual(byId(back), byId(doc));
  // Its members in the order the document's text always had them.
  assert.deepStrictEqual(Object.keys(back[1]), ['id', 'type', 'neighbours']);
  assert.deepStrictEqual(Object.keys(back[1].neighbours[0]), ['channel', 'id', 'child']);

  assert.deepStrictEqual(top.getMatrix(0), shape);
  assert.deepStrictEqual(top.getMatrix(89), shape);
  assert.deepStrictEqual(top.getMatrix(90), turned(1));
  assert.deepStrictEqual(top.getMatrix(180), turned(2));
  assert.deepStrictEqual(top.getMatrix(270), turned(3));
  assert.deepStrictEqual(top.getMatrix(450), turned(1));
  // Each call hands out rows of its own.
  const mine = top.getMatrix(0);
  mine[0][0] = 7;
  mine.pop();
  assert.deepStrictEqual(top.getMatrix(0), shape);

  // A topology rebuilt from what getTop gave is the same installation.
  const again = new lc.Topology(back);
  assert.deepStrictEqual(again.getTop(), back);
  assert.deepStrictEqual(again.getMatrix(0), shape);
});

test('a relay alone has an empty matrix', () => {
  const top = new lc.Topology([{ id: 0, type: 1, neighbours: [] }]);
  assert.deepStrictEqual(top.getTop(), [{ id: 0, type: 1, neighbours: [] }]);
  assert.deepStrictEqual(top.getMatrix(0), []);
});

test('without a relay getTop and getMatrix throw a clear error', () => {
  const cases = [
    undefined,
    [],
    [{ id: 3, type: 4, neighbours: [] }],
    42,
    'not a topology {',
    () => 1,
    Symbol('s'),
    [{ id: 'x', type: 4, neighbours: [] }],
  ];
  for (const value of cases) {
    const top = value === undefined ? new lc.Topology() : new lc.Topology(value);
    assert.throws(() => top.getTop(), { name: 'Error', message: /module 0/ }, String(value));
    assert.throws(() => top.getMatrix(0), { name: 'Error', message: /module 0/ });
  }
});

test('values without a JSON text raise the runtime error at construction', () => {
  const circular = [];
  circular.push(circular);
  assert.throws(() => new lc.Topology(circular), TypeError);
  assert.throws(() => new lc.Topology([{ id: 1n }]), TypeError);
  // The module is still in order afterwards.
  assert.deepStrictEqual(new lc.Topology(installation(4)).getMatrix(0), shape);
});

test('getMatrix takes whole degrees modulo 360 and refuses what is not a finite number', () => {
  const top = new lc.Topology(installation(4));
  for (const [angle, steps] of [[-90, 3], [-180, 2], [-270, 1], [-360, 0], [-450, 3], [720, 0],
    [90.9, 1], [-0.5, 0], [2 ** 32 + 90, 3], [360 * 2 ** 32 + 90, 1], [-360 * 2 ** 30 - 270, 1]]) {
    const expected = steps === 0 ? shape : turned(steps);
    assert.deepStrictEqual(top.getMatrix(angle), expected, String(angle));
  }
  for (const args of [[], ['90'], [null], [{}], [NaN], [Infinity], [-Infinity]]) {
    assert.throws(() => top.getMatrix(...args), { name: 'TypeError', message: /angle/ });
  }
});

// Lengths past what 16-bit module ids can name are refused before anything
// is allocated for them.
test('documents longer than module ids can name are refused at once', () => {
  const relay = { id: 0, type: 0, neighbours: new Array(65).fill({ channel: 0, id: 1, child: 1 }) };
  const started = performance.now();
  for (const document of [new Array(2 ** 24), new Array(2 ** 32 - 1), [relay]]) assert.throws(() => new lc.Topology(document), RangeError);
  assert.ok(performance.now() - started < 1000);
  assert.doesNotThrow(() => new lc.Topology(new Array(65536).fill({ id: 0, type: 0, neighbours: [] })));
});

test('a document refused halfway keeps what came before the fault', () => {
  const doc = installation(4);
  doc[5].neighbours[0].child = true; // a boolean is not a child flag
  const top = new lc.Topology(doc);
  const back = top.getTop();
  assert.ok(back.length >= 1 && back.length < 13);
  assert.strictEqual(back[0].id, 0);
});

// What a Topology built from `doc` gives back: its document and matrix, or
// the errors they throw.
function outcome(doc) {
  let top;
  try {
    top = new lc.Topology(doc);
  } catch (e) {
    return `constructor: ${e.name}`;
  }
  const read = (f) => {
    try {
      return f();
    } catch (e) {
      return `${e.name}: ${e.message}`;
    }
  };
  return [read(() => top.getTop()), read(() => top.getMatrix(0))];
}

// The same document through its JSON text: a toJSON on the array makes the
// constructor take the text road, whose rules are the reference.
function throughText(doc) {
  const copy = [...doc];
  copy.toJSON = () => doc;
  return copy;
}

test('reading the document directly takes exactly what its JSON text gives', () => {
  class Link {
    constructor() {
      this.channel = 1;
    }
    get id() {
      return 2;
    }
  }
  const mutations = {
    'as is': () => {},
    'fractional id': (d) => { d[3].id = 5.5; },
    'negative type': (d) => { d[2].type = -1; },
    'negative zero': (d) => { d[2].neighbours[0].channel = -0; },
    'largest u32 id': (d) => { d[4].id = 2 ** 32 - 1; },
    'id past u32': (d) => { d[4].id = 2 ** 32; },
    'huge channel': (d) => { d[4].neighbours[0].channel = 1e21; },
    'NaN child': (d) => { d[6].neighbours[1].child = NaN; },
    'infinite type': (d) => { d[6].type = Infinity; },
    'child 2': (d) => { d[6].neighbours[0].child = 2; },
    'string id': (d) => { d[1].id = '1'; },
    'boxed number': (d) => { d[1].type = Object(4); },
    'null neighbours': (d) => { d[7].neighbours = null; },
    'missing neighbours': (d) => { delete d[7].neighbours; },
    'numeric neighbours': (d) => { d[7].neighbours = 3; },
    'string neighbours': (d) => { d[7].neighbours = '[]'; },
    'missing child': (d) => { delete d[8].neighbours[0].child; },
    'hole in neighbours': (d) => { d[8].neighbours.length += 2; },
    'hole in modules': (d) => { d.length += 1; },
    'array element': (d) => { d[9] = [1, 2]; },
    'null element': (d) => { d[9] = null; },
    'element without prototype': (d) => { d[9] = Object.assign(Object.create(null), d[9]); },
    'throwing getter': (d) => { Object.defineProperty(d[9], 'type', { get() { throw new Error('no'); } }); },
    'element with toJSON': (d) => { const e = d[9]; d[9] = { toJSON: () => ({ ...e, type: 6 }) }; },
    'class instance link': (d) => { d[10].neighbours[0] = new Link(); },
    'extra keys': (d) => { d[11].name = 'x'; d[11].neighbours[0].extra = [1, { a: 2 }]; },
    'only a relay without links': (d) => { d.splice(0, d.length, { id: 0, type: 2, neighbours: [] }); },
    'empty array': (d) => { d.length = 0; },
  };
  for (const [name, mutate] of Object.entries(mutations)) {
    const doc = installation(4);
    mutate(doc);
    assert.deepStrictEqual(outcome(doc), outcome(throughText(doc)), name);
  }
});
