'use strict';

// Draws the installation in a terminal: one block per LED in 24-bit colour,
// two LEDs per character cell (upper half block: foreground above,
// background below), at the LEDs' places on the player's screen.

const OFF = [40, 40, 40]; // a LED never lit
const HALF = '\u2580';

const fg = ([r, g, b]) => `\x1b[38;2;${r};${g};${b}m`;
const bg = ([r, g, b]) => `\x1b[48;2;${r};${g};${b}m`;
const RESET = '\x1b[0m';

/** The LED grid: rows of cells holding [r, g, b], OFF, or null where no LED is. */
function grid(scene, colours) {
  let maxX = 0;
  let maxY = 0;
  for (const tile of scene.tiles) {
    for (const [x, y] of tile.leds) {
      maxX = Math.max(maxX, Math.floor(x));
      maxY = Math.max(maxY, Math.floor(y));
    }
  }
  const rows = Array.from({ length: maxY + 1 }, () => new Array(maxX + 1).fill(null));
  scene.tiles.forEach((tile, t) => {
    tile.leds.forEach(([x, y], k) => {
      if (x < 0 || y < 0) return;
      rows[Math.floor(y)][Math.floor(x)] = (colours[t] && colours[t][k]) || OFF;
    });
  });
  return rows;
}

/** The picture as text with colour escapes, one line per two LED rows. */
function render(scene, colours) {
  const rows = grid(scene, colours);
  const lines = [];
  for (let y = 0; y < rows.length; y += 2) {
    let line = '';
    const top = rows[y];
    const bottom = rows[y + 1] || [];
    for (let x = 0; x < top.length; x++) {
      const a = top[x];
      const b = bottom[x];
      if (!a && !b) line += `${RESET} `;
      else if (a && b) line += `${fg(a)}${bg(b)}${HALF}`;
      else if (a) line += `${RESET}${fg(a)}${HALF}`;
      else line += `${RESET}${fg(b)}\u2584`;
    }
    lines.push(`${line}${RESET}`);
  }
  return lines.join('\n');
}

module.exports = { render, grid, OFF };
