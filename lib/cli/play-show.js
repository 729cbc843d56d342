'use strict';

// `lc play --show`: plays across every relay of a show and ends with one
// line per relay.

const { Show } = require('../show/index');
const { readRelays } = require('./each');
const { openSource } = require('../content');
const { picture } = require('../animation');
const { CommandError, say, interruptSignal } = require('./common');

// The files in turn at the canvas size, or the generated animation for
// `seconds` at the slowest relay's pace.
async function* source(files, canvas, opts) {
  if (files.length === 0) {
    const deadline = performance.now() + opts.seconds * 1000;
    for (let i = 0; performance.now() < deadline; i++) {
      yield { image: picture(i, canvas.width, canvas.height, opts.mode), duration: 0 };
    }
    return;
  }
  do {
    for (const file of files) {
      let items;
      try {
        ({ items } = openSource(file, { width: canvas.width, height: canvas.height, fit: opts.fit, seconds: opts.seconds }));
      } catch (err) {
        throw new CommandError(err.message);
      }
      yield* items;
    }
  } while (opts.loop);
}

/**
 * Plays `files` (or the generated animation) across every relay of the show
 * file `opts.show`; writes one line per relay and one for the show, and
 * fails (exit 1) unless every relay played to the end.
 */
async function playShow(files, opts, out = process.stdout) {
  // Each relay's installation and angle come from the file; the view and the
  // sensors are one relay's.
  for (const [key, flag] of [['topology', '--topology'], ['tileType', '--tile-type'], ['view', '--view'], ['sensors', '--sensors']]) {
    if (opts[key] !== undefined) throw new CommandError(`${flag} does not go with --show`);
  }
  const show = new Show(readRelays(opts.show), { mode: opts.mode, gamma: opts.gamma, gains: opts.gains, rejoin: opts.rejoin });
  show.on('leave', ({ name, reason }) => say(`lc: ${name} left the show: ${reason}`));
  show.on('rejoin', ({ name }) => say(`lc: ${name} is back in the show`));
  const stop = new AbortController();
  const onSignal = () => stop.abort();
  process.once('SIGINT', onSignal);
  const t0 = performance.now();
  let canvas;
  try {
    try {
      canvas = await show.start({ signal: interruptSignal() });
    } catch (err) {
      throw new CommandError(err.code === 'ERR_LC_ABORTED' ? 'interrupted while opening the show' : err.message);
    }
    await show.play(source(files, canvas, opts), { signal: stop.signal });
  } finally {
    process.off('SIGINT', onSignal);
    await show.stop();
  }
  const seconds = (performance.now() - t0) / 1000;
  const c = show.getCounters();
  const ms = (v) => (v === null ? '-' : v.toFixed(1));
  const failed = [];
  c.relays.forEach((r, i) => {
    const { at } = show.relays[i].entry;
    // Stopped at the end means it was playing then.
    if (r.state !== 'stopped') {
      failed.push(r.name);
      out.write(`${r.name}: failed: ${r.reason || 'it did not play'}\n`);
      return;
    }
    const screen = show.relays[i].screen;
    const back = r.left ? `, left ${r.left} time(s) and rejoined` : '';
    out.write(`${r.name}: played ${r.taken} pictures of ${screen.width}x${screen.height} at [${at.join(', ')}]` +
      `${r.player ? `, ${r.player.framesSent} frames sent` : ''}${back}\n`);
  });
  out.write(`show: ${c.pictures} pictures of ${canvas.width}x${canvas.height} in ${opts.mode} mode on ${c.relays.length} relays ` +
    `in ${seconds.toFixed(1)} s, skew p50 ${ms(c.skewMs.p50)} ms, p99 ${ms(c.skewMs.p99)} ms\n`);
  if (failed.length) throw new CommandError(`${failed.length} of ${c.relays.length} relays failed: ${failed.join(', ')}`);
}

module.exports = { playShow };
