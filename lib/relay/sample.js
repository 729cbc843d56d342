'use strict';

// A sample installation and a sample application package, for the demo,
// `lc relay` and the tests.

const TYPE_IDS = { relay: 0, oldrelay: 1, relayrpi: 2, delta: 3, quadra: 4, quadrav2: 5, varna: 6 };

/**
 * A rectangle of square tiles behind a relay joined to the top-left tile:
 * channels 0 north, 1 east, 2 south, 3 west; ids row by row from 1; each
 * tile's parent is the one west of it, or north of it in the first column.
 * `typeAt(id)` gives each tile's type tag.
 */
function gridInstallation(columns, rows, typeAt = () => 'quadra') {
  const id = (c, r) => 1 + r * columns + c;
  const parentOf = (c, r) => (c > 0 ? id(c - 1, r) : r > 0 ? id(0, r - 1) : 0);
  const doc = [{ id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] }];
  for (let r = 0; r < rows; r++) {
    for (let c = 0; c < columns; c++) {
      const me = id(c, r);
      const neighbours = me === 1 ? [{ channel: 0, id: 0, child: 0 }] : [];
      for (const [channel, nc, nr] of [[0, c, r - 1], [1, c + 1, r], [2, c, r + 1], [3, c - 1, r]]) {
        if (nc < 0 || nr < 0 || nc >= columns || nr >= rows) continue;
        neighbours.push({ channel, id: id(nc, nr), child: parentOf(nc, nr) === me ? 1 : 0 });
      }
      doc.push({ id: me, type: TYPE_IDS[typeAt(me)], neighbours });
    }
  }
  return doc;
}

/**
 * The sample: twelve square tiles, four by three, of two models that share
 * their shape and LEDs: "quadrav2" (with sensors) on odd ids, "quadra" on
 * even ones. Read from the relay with the tile type "quadrav2".
 */
function sampleInstallation() {
  return gridInstallation(4, 3, (id) => (id % 2 ? 'quadrav2' : 'quadra'));
}

function hexRecord(type, address, bytes) {
  const body = [bytes.length, (address >> 8) & 0xff, address & 0xff, type, ...bytes];
  const sum = (0x100 - (body.reduce((a, b) => a + b, 0) & 0xff)) & 0xff;
  return `:${[...body, sum].map((b) => b.toString(16).toUpperCase().padStart(2, '0')).join('')}`;
}

/** Intel HEX lines of `size` bytes of code at 0xA0000000 (the tiles' RAM). */
function sampleImage(size = 2048, seed = 1) {
  const lines = [hexRecord(0x04, 0, [0xa0, 0x00])];
  for (let offset = 0; offset < size; offset += 32) {
    const bytes = Array.from({ length: Math.min(32, size - offset) }, (_, i) => (seed * 31 + offset + i * 7) & 0xff);
    lines.push(hexRecord(0x00, offset, bytes));
  }
  lines.push(':00000001FF');
  return lines;
}

/** A package document with an image per tag. */
function samplePackage(tags = ['quadra', 'quadrav2'], size = 2048) {
  return tags.map((name, i) => ({ name, hex: sampleImage(size, i + 1) }));
}

module.exports = { gridInstallation, sampleInstallation, samplePackage, sampleImage, hexRecord, TYPE_IDS };
