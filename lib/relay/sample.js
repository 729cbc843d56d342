'use strict';

// A sample installation and a sample application package, for the demo,
// `lc relay` and the tests.

const { gridInstallation } = require('./installation');

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

module.exports = { gridInstallation, sampleInstallation, samplePackage, sampleImage, hexRecord };
