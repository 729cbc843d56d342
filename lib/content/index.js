'use strict';

// Sources of pictures for the player, by file: still PNG pictures through
// pngjs, everything else (video, animated GIF and PNG, JPEG and the other
// picture formats) through ffmpeg. Every source is an async iterable of
// { image, at, duration } fitted to the screen.

const fs = require('fs');
const { PNG } = require('pngjs');
const { fitPicture, FITS } = require('./fit');
const { ffmpegFrames, hasFfmpeg, ContentError, INSTALL } = require('./ffmpeg');

const PNG_SIGNATURE = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);

// Whether a PNG file carries an animation (an acTL chunk before its first
// image data), which pngjs would show as its first frame only.
function isAnimatedPng(bytes) {
  let p = 8;
  while (p + 8 <= bytes.length) {
    const length = bytes.readUInt32BE(p);
    const type = bytes.toString('latin1', p + 4, p + 8);
    if (type === 'acTL') return true;
    if (type === 'IDAT' || type === 'IEND') return false;
    p += 12 + length;
  }
  return false;
}

function readFile(file) {
  try {
    return fs.readFileSync(file);
  } catch (err) {
    throw new ContentError(`cannot read ${file}: ${err.code || err.message}`);
  }
}

/** Whether `file` goes through pngjs: a PNG file without an animation. */
function isStillPng(bytes) {
  return bytes.length >= 8 && bytes.subarray(0, 8).equals(PNG_SIGNATURE) && !isAnimatedPng(bytes);
}

async function* stillPng(file, bytes, { width, height, fit, stillMs }) {
  let png;
  try {
    png = PNG.sync.read(bytes);
  } catch (err) {
    throw new ContentError(`${file} is not a readable PNG file: ${err.code || err.message}`);
  }
  yield { image: fitPicture(png, width, height, fit), at: 0, duration: stillMs, read: performance.now() };
}

/**
 * The pictures of `file` for a screen of width x height: { kind, items },
 * kind "still" (one PNG picture) or "frames" (through ffmpeg: its frames,
 * one frame for a still picture of another format). `seconds` is how long
 * a still picture is shown. Checks what it can at once (the file is
 * readable, ffmpeg is there when needed); decoding errors reject the
 * iteration.
 */
function openSource(file, { width, height, fit = 'contain', seconds = 5 } = {}) {
  if (!FITS.includes(fit)) throw new RangeError(`fit must be one of ${FITS.join(', ')}`);
  const bytes = readFile(file);
  const stillMs = seconds * 1000;
  if (isStillPng(bytes)) return { kind: 'still', items: stillPng(file, bytes, { width, height, fit, stillMs }) };
  if (bytes.length >= 8 && bytes.subarray(0, 8).equals(PNG_SIGNATURE) === false && /\.png$/i.test(file)) {
    throw new ContentError(`${file} is not a readable PNG file: no PNG signature`);
  }
  if (!hasFfmpeg()) {
    throw new ContentError(`${file} needs ffmpeg, which is not installed: install it with "${INSTALL}"`, 'ERR_LC_NO_FFMPEG');
  }
  return { kind: 'frames', items: ffmpegFrames(file, { width, height, fit, stillMs }) };
}

module.exports = { openSource, isAnimatedPng, isStillPng, ContentError, hasFfmpeg, INSTALL, FITS };
