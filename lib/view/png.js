'use strict';

// Writes the picture the tiles show as a PNG file: a square of `scale`
// pixels per LED at its place on the screen, black between LEDs.
const fs = require('fs');
const { PNG } = require('pngjs');
const { grid } = require('./terminal');

function pictureOf(scene, colours, scale = 8) {
  const rows = grid(scene, colours);
  const width = (rows[0] ? rows[0].length : 0) * scale;
  const height = rows.length * scale;
  const png = new PNG({ width: Math.max(1, width), height: Math.max(1, height) });
  png.data.fill(0);
  for (let i = 3; i < png.data.length; i += 4) png.data[i] = 255;
  const gap = scale >= 4 ? 1 : 0;
  rows.forEach((row, y) => {
    row.forEach((colour, x) => {
      if (!colour) return;
      for (let dy = gap; dy < scale - gap; dy++) {
        for (let dx = gap; dx < scale - gap; dx++) {
          const p = 4 * ((y * scale + dy) * png.width + x * scale + dx);
          png.data[p] = colour[0];
          png.data[p + 1] = colour[1];
          png.data[p + 2] = colour[2];
        }
      }
    });
  });
  return png;
}

function writePng(file, scene, colours, scale) {
  fs.writeFileSync(file, PNG.sync.write(pictureOf(scene, colours, scale)));
  return file;
}

module.exports = { writePng, pictureOf };
