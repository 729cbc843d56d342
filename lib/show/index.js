'use strict';

// A show: several relays playing one canvas. Each relay's screen (its
// topology at its angle and mode, as the player measures it) sits at its
// `at` on the canvas; a canvas picture is handed to every relay as the
// rectangle its screen covers, read in place by the native crop. A push
// resolves once every relay still in the show took its part, so pictures
// change together; a relay that fails or goes away leaves the show without
// holding it up, and with `rejoin` it is taken back when it answers again.

const { EventEmitter } = require('events');
const { readShow, checkShow } = require('./file');
const { openSource } = require('../content');
const { sleep } = require('../player');
const { savedTopology } = require('./each');
const {
  RETRY_FIRST_MS, lcError, aborted, hand, measure, openRelay, startPlayer, leave, closeRelay, comeBack,
} = require('./members');

// Skews kept for the percentiles: the latest ones, a ring.
const SKEWS_KEPT = 1 << 16;

// The relays of a show from a file name, a parsed document or relays that
// checkShow already gave.
function relaysOf(show) {
  if (typeof show === 'string') return readShow(show);
  if (Array.isArray(show)) return show.map((r) => ({ delayMs: 0, angle: 0, topology: null, relayType: 'relay', ...r }));
  return checkShow(show);
}

function percentile(sorted, q) {
  if (sorted.length === 0) return null;
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

class Show extends EventEmitter {
  /**
   * `show` is a show file's name, its parsed document, or the relays
   * readShow gave. Options: mode ('video', 'rgb', 'mask'), gamma, gains
   * (as Player.start takes them), rejoin (take back relays that left when
   * they answer again).
   */
  constructor(show, { mode = 'video', gamma, gains, rejoin = false } = {}) {
    super();
    this.mode = mode;
    this.rejoin = Boolean(rejoin);
    this._playback = {};
    if (gamma !== undefined) this._playback.gamma = gamma;
    if (gains !== undefined) this._playback.gains = gains;
    this.relays = relaysOf(show).map((entry) => ({
      entry,
      name: entry.name,
      state: 'idle',
      reason: null,
      com: null,
      player: null,
      topology: null,
      screen: null,
      crop: null,
      retryMs: RETRY_FIRST_MS,
      timer: null,
      gone: null, // resolves when the relay leaves its current run
      counters: { pushed: 0, taken: 0, left: 0, rejoined: 0, lastTakenAt: null },
    }));
    this.canvas = null;
    this._state = 'idle';
    this._pushed = 0;
    this._skews = new Float64Array(SKEWS_KEPT);
    this._skewCount = 0;
    this._release = () => {};
    this._onStop = new Set();
  }

  /**
   * Opens every relay, places the screens and starts every player.
   * Resolves with the canvas { width, height, x, y } (x, y: the show
   * coordinates of its top left) once every relay is playing or has left;
   * rejects when none could. `signal` bounds the opening and, later, stops
   * the show.
   */
  async start({ signal } = {}) {
    if (this._state !== 'idle') throw lcError('the show was started already', 'ERR_LC_REFUSED');
    if (signal && signal.aborted) throw aborted();
    this._state = 'opening';
    const onAbort = () => this.stop();
    if (signal) {
      signal.addEventListener('abort', onAbort, { once: true });
      this._release = () => signal.removeEventListener('abort', onAbort);
    }
    const opened = await Promise.allSettled(this.relays.map((m) => openRelay(this, m, signal)));
    if (this._state !== 'opening') throw aborted();
    // A relay that did not answer still has its place when its topology
    // comes from a file.
    for (const m of this.relays) {
      if (!m.screen && m.entry.topology) {
        try {
          measure(this, m, savedTopology(m.entry));
        } catch {
          // No place then: it left for the reason its opening gave.
        }
      }
    }
    const placed = this.relays.filter((m) => m.screen);
    if (placed.length === 0 || !opened.some((r) => r.status === 'fulfilled')) {
      const reasons = this.relays.map((m, i) => `${m.name}: ${opened[i].reason ? opened[i].reason.message : 'no screen'}`);
      await this.stop();
      throw lcError(`no relay of the show could play (${reasons.join('; ')})`, 'ERR_LC_ENDED');
    }
    const x = Math.min(...placed.map((m) => m.entry.at[0]));
    const y = Math.min(...placed.map((m) => m.entry.at[1]));
    const right = Math.max(...placed.map((m) => m.entry.at[0] + m.screen.width));
    const bottom = Math.max(...placed.map((m) => m.entry.at[1] + m.screen.height));
    this.canvas = { width: right - x, height: bottom - y, x, y };
    this._state = 'playing';
    this.relays.forEach((m, i) => {
      if (opened[i].status === 'fulfilled') {
        try {
          startPlayer(this, m);
        } catch (err) {
          leave(this, m, err.message);
        }
      } else {
        leave(this, m, opened[i].reason.message);
      }
    });
    return this.canvas;
  }

  /**
   * Hands every relay in the show its part of `picture` (the canvas, 4-byte
   * pixels, rows of canvas.width pixels), each after its `delayMs`;
   * resolves with the picture's number once every relay still in the show
   * took it. A relay that leaves meanwhile is not waited for.
   */
  async push(picture, format, { signal } = {}) {
    if (this._state !== 'playing') throw lcError('the show is not playing: start it first', 'ERR_LC_ENDED');
    if (signal && signal.aborted) throw aborted();
    const { width, height } = this.canvas;
    if (!picture || !(picture.length >= 4 * width * height)) {
      throw new RangeError(`a picture of the show must hold ${width}x${height} pixels of 4 bytes (${4 * width * height} bytes)`);
    }
    const number = ++this._pushed;
    const live = this.relays.filter((m) => m.state === 'live');
    const moments = await Promise.all(live.map((m) => hand(this, m, picture, format, signal)));
    if (signal && signal.aborted) throw aborted();
    // The spread of the moments the relays took it, each less the delay it
    // was given on purpose.
    const times = moments.filter((t) => t !== null);
    if (times.length >= 2) {
      this._skews[this._skewCount % SKEWS_KEPT] = Math.max(...times) - Math.min(...times);
      this._skewCount++;
    }
    return number;
  }

  /**
   * Shows a source at the canvas size: a file path (video, animation or
   * picture, through lib/content) or an iterable of { image, duration }.
   * Each picture is pushed at its time, or when the slowest relay took the
   * one before. Resolves with { shown } once it ended or `signal` fired.
   */
  async play(source, { fit = 'contain', seconds = 5, signal, onPicture } = {}) {
    if (this._state !== 'playing') throw lcError('the show is not playing: start it first', 'ERR_LC_ENDED');
    const items = typeof source === 'string'
      ? openSource(source, { width: this.canvas.width, height: this.canvas.height, fit, seconds, signal }).items
      : source;
    let shown = 0;
    let due = null;
    try {
      for await (const item of items) {
        if (signal && signal.aborted) break;
        if (this._state !== 'playing') break;
        // With every relay gone there is no pace to keep: wait for one to
        // come back, or end when none will.
        if (!this.relays.some((m) => m.state === 'live')) {
          if (!this.rejoin || !(await comeBack(this, signal))) break;
          due = null;
        }
        if (due === null) due = performance.now();
        await sleep(due - performance.now(), signal);
        await this.push(item.image, item.format, { signal });
        shown++;
        if (onPicture) onPicture(item, shown);
        // A slow relay shifts the rest back rather than rushing after.
        due = Math.max(due + (Number(item.duration) > 0 ? Number(item.duration) : 0), performance.now());
      }
    } catch (err) {
      if (err.code !== 'ERR_LC_ABORTED' && err.code !== 'ERR_LC_ENDED') throw err;
    }
    return { shown };
  }

  /**
   * Counters of the show and of each relay: pictures pushed, the skew
   * between relays taking the same picture (p50, p99, max in ms over the
   * latest pictures), and per relay its state, why it left last, how often
   * it left and rejoined, and its player's counters.
   */
  getCounters() {
    const n = Math.min(this._skewCount, SKEWS_KEPT);
    const sorted = Array.from(this._skews.subarray(0, n)).sort((a, b) => a - b);
    return {
      pictures: this._pushed,
      live: this.relays.filter((m) => m.state === 'live').length,
      skewMs: { p50: percentile(sorted, 0.5), p99: percentile(sorted, 0.99), max: n ? sorted[n - 1] : null, pictures: n },
      relays: this.relays.map((m) => ({
        name: m.name,
        state: m.state,
        reason: m.reason,
        delayMs: m.entry.delayMs,
        pushed: m.counters.pushed,
        taken: m.counters.taken,
        left: m.counters.left,
        rejoined: m.counters.rejoined,
        player: m.player ? m.player.getCounters() : null,
      })),
    };
  }

  /** Ends every playback and link; resolves once they have ended. */
  async stop() {
    if (this._state === 'stopped') return this._stopped;
    this._state = 'stopped';
    this._release();
    for (const f of this._onStop) f();
    this._stopped = Promise.all(this.relays.map((m) => {
      clearTimeout(m.timer);
      m.timer = null;
      // Stopped: it played to the end. One still opening never got there.
      if (m.state === 'live') m.state = 'stopped';
      else if (m.state !== 'left') {
        m.state = 'left';
        m.reason = m.reason || 'the show stopped before it played';
      }
      return closeRelay(this, m);
    })).then(() => {});
    return this._stopped;
  }

  [Symbol.asyncDispose]() {
    return this.stop();
  }

}

module.exports = { Show };
