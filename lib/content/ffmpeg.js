'use strict';

// Video files, animations and pictures that pngjs does not read, decoded by
// Debian's ffmpeg in a child process: raw 4-byte pixels at the screen's size
// on its standard output, fitted by its own filters, and every frame's time
// from its showinfo filter on standard error. Frames pass through with the
// file's own times (no frame is duplicated or dropped to a fixed rate), and
// the output is read only as fast as the pictures are shown, so a paused
// reader pauses ffmpeg.

const { spawn, spawnSync } = require('child_process');
const { FITS, overBlack } = require('./fit');

const COMMAND = 'ffmpeg';
const INSTALL = 'apt-get install -y ffmpeg';
// A frame's time when the file gives no rate at all.
const FALLBACK_MS = 40;

class ContentError extends Error {
  constructor(message, code = 'ERR_LC_CONTENT') {
    super(message);
    this.name = 'LcError';
    this.code = code;
  }
}

let present;
/** Whether ffmpeg can be run here (asked once). */
function hasFfmpeg() {
  if (present === undefined) {
    const r = spawnSync(COMMAND, ['-hide_banner', '-version'], { stdio: 'ignore' });
    present = !r.error && r.status === 0;
  }
  return present;
}

function missing(file) {
  return new ContentError(`${file} needs ffmpeg, which is not installed: install it with "${INSTALL}"`, 'ERR_LC_NO_FFMPEG');
}

/** The filter chain that fits any picture into width x height. */
function fitFilter(width, height, fit) {
  if (!FITS.includes(fit)) throw new RangeError(`fit must be one of ${FITS.join(', ')}`);
  const W = width;
  const H = height;
  // Rounding may leave a side one pixel off the screen's: crop and pad
  // absorb it, so ffmpeg never refuses the geometry.
  const settle = `crop=min(iw\\,${W}):min(ih\\,${H}),pad=${W}:${H}:(ow-iw)/2:(oh-ih)/2:color=black`;
  if (fit === 'stretch') return `scale=${W}:${H}:flags=area,setsar=1`;
  const how = fit === 'cover' ? 'increase' : 'decrease';
  return `scale=${W}:${H}:force_original_aspect_ratio=${how}:flags=area,${settle},setsar=1`;
}

function ffmpegArguments(file, width, height, fit) {
  return [
    '-hide_banner', '-nostdin', '-nostats', '-loglevel', 'info',
    '-i', file, '-an', '-sn', '-dn',
    '-vf', `${fitFilter(width, height, fit)},format=rgba,showinfo`,
    '-fps_mode', 'passthrough',
    '-f', 'rawvideo', '-pix_fmt', 'rgba', 'pipe:1',
  ];
}

const FRAME_LINE = /Parsed_showinfo.*\bn:\s*(\d+)\s+pts:\s*(-?\d+)\s+pts_time:\s*(-?[0-9.e+-]+)/;
const RATE_LINE = /Parsed_showinfo.*config in time_base:.*frame_rate:\s*(\d+)\/(\d+)/;
const DURATION_LINE = /Duration:\s*(\d+):(\d+):(\d+(?:\.\d+)?)/;

/**
 * The frames of `file` fitted to width x height: an async iterable of
 * { image, at, duration, read } with `at` the frame's time in milliseconds
 * from the first frame and `read` the moment its last byte came
 * (performance.now()). A file with a single frame is a still picture shown
 * for `stillMs`. The last frame's duration is set once the file ended: the
 * container's duration past its time, else the frames' usual interval.
 */
async function* ffmpegFrames(file, { width, height, fit = 'contain', stillMs = 5000 }) {
  if (!hasFfmpeg()) throw missing(file);
  const size = width * height * 4;
  if (!(size > 0)) throw new ContentError(`the screen has no pixels to fit ${file} into`);
  const child = spawn(COMMAND, ffmpegArguments(file, width, height, fit), { stdio: ['ignore', 'pipe', 'pipe'] });
  const times = [];
  let wake = null;
  let rateMs = 0;
  let totalMs = NaN;
  const tail = [];
  let pending = '';
  const exited = new Promise((resolve) => {
    child.once('error', (err) => resolve({ code: null, err }));
    child.once('close', (code) => resolve({ code }));
  });
  const onLine = (line) => {
    const f = FRAME_LINE.exec(line);
    if (f) {
      times.push(Number(f[3]) * 1000);
      if (wake) wake();
      return;
    }
    const r = RATE_LINE.exec(line);
    if (r && Number(r[1]) > 0 && Number(r[2]) > 0) rateMs = (1000 * Number(r[2])) / Number(r[1]);
    const d = DURATION_LINE.exec(line);
    if (d && Number.isNaN(totalMs)) totalMs = ((Number(d[1]) * 60 + Number(d[2])) * 60 + Number(d[3])) * 1000;
    if (!line.startsWith('[Parsed_showinfo') && !/^\s/.test(line)) {
      tail.push(line);
      if (tail.length > 5) tail.shift();
    }
  };
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (text) => {
    const lines = (pending + text).split(/\r?\n/);
    pending = lines.pop();
    for (const line of lines) onLine(line);
  });
  let stderrClosed = false;
  const stderrDone = new Promise((resolve) => child.stderr.once('close', () => {
    stderrClosed = true;
    resolve();
  }));
  // The time of frame n, once its showinfo line came (it is written before
  // the frame, but the two pipes are read independently).
  const timeOf = async (n) => {
    while (times.length <= n) {
      if (stderrClosed) return undefined;
      await Promise.race([new Promise((resolve) => { wake = resolve; }), stderrDone]);
      wake = null;
    }
    return times[n];
  };

  let frame = Buffer.allocUnsafe(size);
  let filled = 0;
  let count = 0;
  let first = 0;
  let last = null;
  let ended = false;
  try {
    for await (const chunk of child.stdout) {
      let offset = 0;
      while (offset < chunk.length) {
        const n = Math.min(size - filled, chunk.length - offset);
        chunk.copy(frame, filled, offset, offset + n);
        filled += n;
        offset += n;
        if (filled < size) break;
        const read = performance.now();
        const t = await timeOf(count);
        if (count === 0) first = t === undefined ? 0 : t;
        const at = t === undefined ? count * (rateMs || FALLBACK_MS) : t - first;
        if (last && at > last.at) last.duration = at - last.at;
        // The next frame gets a buffer of its own: the consumer may still
        // hold this one.
        last = { image: overBlack(frame), at, duration: rateMs || (last ? last.duration : FALLBACK_MS), read };
        count++;
        frame = Buffer.allocUnsafe(size);
        filled = 0;
        yield last;
      }
    }
    ended = true;
    const { code, err } = await exited;
    await stderrDone;
    if (err) throw new ContentError(`cannot run ffmpeg for ${file}: ${err.message}`);
    if (code !== 0 && count === 0) {
      throw new ContentError(`ffmpeg cannot read ${file}: ${tail[tail.length - 1] || `exit code ${code}`}`);
    }
    if (last) {
      if (count === 1) last.duration = stillMs;
      else if (totalMs > last.at) last.duration = Math.max(1, totalMs - last.at);
    }
  } finally {
    // Left early (the consumer stopped): this child only, by its handle.
    if (!ended && child.exitCode === null) child.kill('SIGKILL');
  }
}

module.exports = { ffmpegFrames, hasFfmpeg, fitFilter, ContentError, INSTALL };
