'use strict';

// Fitting a decoded picture (4-byte pixels) to the screen in script, for the
// pictures decoded here rather than by ffmpeg: "contain" keeps the aspect
// ratio inside black bars, "cover" keeps it and crops, "stretch" fills the
// screen. Each screen pixel averages the picture pixels it covers, so a
// large picture shrinks without the sparkle of point sampling; transparent
// pixels are taken over black.

const FITS = ['contain', 'cover', 'stretch'];

// The picture's rectangle on the screen: [x, y, w, h], possibly larger than
// the screen (cover), never empty.
function placement(width, height, sw, sh, fit) {
  if (fit === 'stretch') return [0, 0, sw, sh];
  const scale = fit === 'cover' ? Math.max(sw / width, sh / height) : Math.min(sw / width, sh / height);
  const w = Math.max(1, Math.round(width * scale));
  const h = Math.max(1, Math.round(height * scale));
  return [Math.floor((sw - w) / 2), Math.floor((sh - h) / 2), w, h];
}

/**
 * `picture` ({ width, height, data } with RGBA bytes) fitted to a screen of
 * `sw` x `sh`: a new Buffer of sw x sh 4-byte pixels.
 */
function fitPicture(picture, sw, sh, fit = 'contain') {
  if (!FITS.includes(fit)) throw new RangeError(`fit must be one of ${FITS.join(', ')}`);
  const { width, height, data } = picture;
  const out = Buffer.alloc(sw * sh * 4);
  if (!(width > 0 && height > 0)) return out;
  const [px, py, pw, ph] = placement(width, height, sw, sh, fit);
  for (let y = Math.max(0, py); y < Math.min(sh, py + ph); y++) {
    const y0 = ((y - py) * height) / ph;
    const y1 = ((y - py + 1) * height) / ph;
    for (let x = Math.max(0, px); x < Math.min(sw, px + pw); x++) {
      const x0 = ((x - px) * width) / pw;
      const x1 = ((x - px + 1) * width) / pw;
      let r = 0;
      let g = 0;
      let b = 0;
      let n = 0;
      // The source pixels whose centres fall in this pixel's span, at least
      // the one under its centre.
      const sy0 = Math.min(height - 1, Math.floor(y0));
      const sy1 = Math.max(sy0 + 1, Math.min(height, Math.ceil(y1)));
      const sx0 = Math.min(width - 1, Math.floor(x0));
      const sx1 = Math.max(sx0 + 1, Math.min(width, Math.ceil(x1)));
      for (let sy = sy0; sy < sy1; sy++) {
        for (let sx = sx0; sx < sx1; sx++) {
          const p = 4 * (sy * width + sx);
          const a = data[p + 3];
          r += data[p] * a;
          g += data[p + 1] * a;
          b += data[p + 2] * a;
          n += 255;
        }
      }
      const o = 4 * (y * sw + x);
      out[o] = Math.round(r / n);
      out[o + 1] = Math.round(g / n);
      out[o + 2] = Math.round(b / n);
      out[o + 3] = 255;
    }
  }
  return out;
}

/** Pixels of an RGBA frame from ffmpeg with alpha below 255 taken over black, in place. */
function overBlack(frame) {
  for (let p = 3; p < frame.length; p += 4) {
    const a = frame[p];
    if (a === 255) continue;
    frame[p - 3] = Math.round((frame[p - 3] * a) / 255);
    frame[p - 2] = Math.round((frame[p - 2] * a) / 255);
    frame[p - 1] = Math.round((frame[p - 1] * a) / 255);
    frame[p] = 255;
  }
  return frame;
}

module.exports = { fitPicture, placement, overBlack, FITS };
