'use strict';

// Generated pictures for the player: 4-byte pixels (R, G, B, unused),
// `width` per row. Each mode gets a picture its colours can show: smooth
// colour for video, the eight pure colours for rgb, on/off for mask.

function hsv(h, s, v) {
  const i = Math.floor(h * 6) % 6;
  const f = h * 6 - Math.floor(h * 6);
  const p = v * (1 - s);
  const q = v * (1 - f * s);
  const t = v * (1 - (1 - f) * s);
  const [r, g, b] = [
    [v, t, p],
    [q, v, p],
    [p, v, t],
    [p, q, v],
    [t, p, v],
    [v, p, q],
  ][i];
  return [Math.round(r * 255), Math.round(g * 255), Math.round(b * 255)];
}

const PURE = [
  [255, 0, 0],
  [255, 255, 0],
  [0, 255, 0],
  [0, 255, 255],
  [0, 0, 255],
  [255, 0, 255],
  [255, 255, 255],
];

/**
 * Picture `index` of the animation: a diagonal rainbow moving across the
 * screen (video), bands of pure colours (rgb), or a bright bar sweeping
 * across (mask).
 */
function picture(index, width, height, mode = 'video') {
  const image = Buffer.alloc(width * height * 4);
  const span = Math.max(1, width + height);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      let rgb;
      if (mode === 'mask') {
        const bar = index % Math.max(1, width);
        rgb = Math.abs(x - bar) < Math.max(1, width / 8) ? [255, 255, 255] : [0, 0, 0];
      } else if (mode === 'rgb') {
        const band = Math.floor(((x + y + index) / span) * PURE.length * 2);
        rgb = PURE[band % PURE.length];
      } else {
        rgb = hsv((((x + y) / span + index / 60) % 1 + 1) % 1, 1, 1);
      }
      const p = 4 * (y * width + x);
      image[p] = rgb[0];
      image[p + 1] = rgb[1];
      image[p + 2] = rgb[2];
      image[p + 3] = 255;
    }
  }
  return image;
}

/** Fits a decoded RGBA picture to the screen by nearest neighbour. */
function fit(png, width, height) {
  const image = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; y++) {
    const sy = Math.min(png.height - 1, Math.floor(((y + 0.5) * png.height) / height));
    for (let x = 0; x < width; x++) {
      const sx = Math.min(png.width - 1, Math.floor(((x + 0.5) * png.width) / width));
      png.data.copy(image, 4 * (y * width + x), 4 * (sy * png.width + sx), 4 * (sy * png.width + sx) + 4);
    }
  }
  return image;
}

module.exports = { picture, fit, hsv };
