'use strict';

// One relay of a show: opening its link and installation, handing it its
// part of a picture, and its leaving and coming back. The functions take the
// show they serve; its state stays in the Show.

const { sleep } = require('../player');
const { topologyOf } = require('./each');

// Bounds of one attempt to open a relay: the link's first status frame,
// then its installation.
const CONNECT_MS = 3000;
const TOPOLOGY_MS = 5000;
// How often a relay that left is tried again: from the first pace,
// doubling after every failed attempt up to the last.
const RETRY_FIRST_MS = 500;
const RETRY_MAX_MS = 5000;

const lcPromises = () => require('../promises');

function lcError(message, code) {
  const { LcError } = lcPromises();
  return new LcError(message, code);
}

const aborted = () => lcError('aborted', 'ERR_LC_ABORTED');

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
  const { Com, Player } = lcPromises();
  const { host, port } = m.entry;
  const bound = (ms) => (signal ? AbortSignal.any([signal, AbortSignal.timeout(ms)]) : AbortSignal.timeout(ms));
  m.state = 'opening';
  const com = new Com();
  m.com = com;
  try {
    await com.start({ type: 'TCPIP', name: 'lc', ip: host, port }, { signal: bound(CONNECT_MS) });
    const topology = await topologyOf(com, m.entry, bound(TOPOLOGY_MS));
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

module.exports = {
  RETRY_FIRST_MS, lcError, aborted, hand, measure, openRelay, startPlayer, leave, closeRelay, comeBack,
};
