'use strict';

// A show: several relays playing one canvas. Each relay's screen (its
// topology at its angle and mode, as the player measures it) sits at its
// `at` on the canvas; a canvas picture is handed to every relay as the
// rectangle its screen covers, read in place by the native crop. A push
// resolves once every relay still in the show took its part, so pictures
// change together; a relay that fails or goes away leaves the show without
// holding it up, and with `rejoin` it is taken back when it answers again.

const { EventEmitter } = require('events');
const fs = require('fs');
const { readShow, checkShow } = require('./file');
const { openSource } = require('../content');
const { sleep } = require('../player');

// Bounds of one attempt to open a relay: the link's first status frame,
// then its installation.
const CONNECT_MS = 3000;
const TOPOLOGY_MS = 5000;
// How often a relay that left is tried again: from the first pace,
// doubling after every failed attempt up to the last.
const RETRY_FIRST_MS = 500;
const RETRY_MAX_MS = 5000;
// Skews kept for the percentiles: the latest ones, a ring.
const SKEWS_KEPT = 1 << 16;

const lcPromises = () => require('../promises');

function lcError(message, code) {
  const { LcError } = lcPromises();
  return new LcError(message, code);
}

const aborted = () => lcError('aborted', 'ERR_LC_ABORTED');

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
          measure(this, m, readTopology(this, m.entry.topology));
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

// One relay's part of a picture: resolves with the moment it took it
// (less its delay), or null when it left or the wait was aborted first.
async function hand(show, m, picture, format, signal) {
  const { gone, player, crop } = m;
  const delay = m.entry.delayMs;
  m.counters.pushed++;
  if (delay > 0) {
    const left = await Promise.race([sleep(delay, signal).then(() => false, () => true), gone.then(() => true)]);
    if (left || m.player !== player) return null;
  }
  try {
    await Promise.race([player.push(picture, format, { signal, crop }), gone]);
  } catch (err) {
    if (err.code === 'ERR_LC_ENDED' || err.code === 'ERR_LC_ABORTED') return null;
    throw err;
  }
  if (m.player !== player || m.state !== 'live') return null;
  const now = performance.now();
  m.counters.taken++;
  m.counters.lastTakenAt = now;
  return now - delay;
}

function readTopology(show, file) {
  const { Topology } = lcPromises();
  const doc = JSON.parse(fs.readFileSync(file, 'utf8'));
  if (!Array.isArray(doc)) throw new Error(`${file} is not a topology document`);
  return new Topology(doc);
}

function measure(show, m, topology) {
  const { Com, Player } = lcPromises();
  // Measuring needs no link: a Com that never starts will do.
  const player = m.player || new Player(m.com || new Com());
  m.topology = topology;
  m.screen = player.getScreen(m.entry.angle, topology, show.mode);
}

// One attempt: the link, the installation (from its file or the relay)
// and the screen.
async function openRelay(show, m, signal) {
  const { Com, Topology, Player } = lcPromises();
  const { host, port, relayType, tileType } = m.entry;
  const bound = (ms) => (signal ? AbortSignal.any([signal, AbortSignal.timeout(ms)]) : AbortSignal.timeout(ms));
  m.state = 'opening';
  const com = new Com();
  m.com = com;
  try {
    await com.start({ type: 'TCPIP', name: 'lc', ip: host, port }, { signal: bound(CONNECT_MS) });
    let topology;
    if (m.entry.topology) {
      topology = readTopology(show, m.entry.topology);
    } else {
      topology = new Topology();
      try {
        await topology.update(relayType, tileType, com, { signal: bound(TOPOLOGY_MS) });
      } catch (err) {
        throw new Error(`it did not send its installation (${err.message})`);
      }
    }
    m.player = new Player(com);
    measure(show, m, topology);
  } catch (err) {
    m.player = null;
    await com.stop();
    throw err;
  }
}

// Starts the relay's player for its place on the canvas.
function startPlayer(show, m) {
  const { canvas } = show;
  const x = m.entry.at[0] - canvas.x;
  const y = m.entry.at[1] - canvas.y;
  if (x < 0 || y < 0 || x + m.screen.width > canvas.width || y + m.screen.height > canvas.height) {
    throw new Error(`its screen (${m.screen.width}x${m.screen.height} at [${m.entry.at}]) does not fit the canvas`);
  }
  m.crop = { x, y, stride: 4 * canvas.width };
  const { com, player } = m;
  let resolveGone;
  m.gone = new Promise((resolve) => {
    resolveGone = resolve;
  });
  m.gone.leave = resolveGone;
  const run = m.gone;
  const ended = player.start(m.entry.angle, m.topology, show.mode, false, show._playback);
  m.state = 'live';
  m.reason = null;
  // The playback ends with the link too; the link's end, when it comes
  // right after, is the better reason.
  const onEnd = (err) => setTimeout(() => leave(show, m, err ? err.message : 'the relay stopped pacing the playback', run), 20);
  ended.then(() => onEnd(), onEnd);
  com.once('end', () => leave(show, m, 'the link to the relay ended', run));
}

// `run` (the relay's run it concerns, when given) keeps a late report of
// an earlier run from ending a later one.
function leave(show, m, reason, run) {
  if (run !== undefined && run !== m.gone) return;
  if (m.state === 'left' || m.state === 'stopped' || show._state === 'stopped') return;
  m.state = 'left';
  m.reason = reason;
  m.counters.left++;
  if (m.gone) m.gone.leave();
  m.gone = null;
  closeRelay(show, m);
  show.emit('leave', { name: m.name, reason });
  if (show.rejoin) retry(show, m);
}

function closeRelay(show, m) {
  const { player, com } = m;
  const waits = [];
  if (player) waits.push(player.stop().catch(() => {}));
  if (com) waits.push(com.stop());
  return Promise.all(waits);
}

function retry(show, m) {
  m.timer = setTimeout(async () => {
    m.timer = null;
    if (show._state !== 'playing') return;
    try {
      await openRelay(show, m);
      if (show._state !== 'playing') {
        await closeRelay(show, m);
        return;
      }
      startPlayer(show, m);
    } catch (err) {
      if (m.player) await closeRelay(show, m);
      m.state = 'left';
      m.reason = err.message;
      if (show._state !== 'playing') return;
      m.retryMs = Math.min(2 * m.retryMs, RETRY_MAX_MS);
      retry(show, m);
      return;
    }
    m.retryMs = RETRY_FIRST_MS;
    m.counters.rejoined++;
    show.emit('rejoin', { name: m.name });
  }, m.retryMs);
}

// Resolves true when a relay rejoined, false when the show stopped or
// `signal` fired first.
function comeBack(show, signal) {
  return new Promise((resolve) => {
    const done = (value) => {
      show.off('rejoin', onRejoin);
      show._onStop.delete(onStop);
      if (signal) signal.removeEventListener('abort', onStop);
      resolve(value);
    };
    const onRejoin = () => done(true);
    const onStop = () => done(false);
    if (show._state !== 'playing' || (signal && signal.aborted)) return done(false);
    show.on('rejoin', onRejoin);
    show._onStop.add(onStop);
    if (signal) signal.addEventListener('abort', onStop, { once: true });
  });
}

module.exports = { Show };
