'use strict';

// The link and the search for relays: a Com whose codes are events and
// whose start is a promise, and the RelayFinder's promise form.
const dns = require('dns');
const net = require('net');
const { iterate } = require('../iterate');
const { LcError, abortError, base, withNative, emitting, onAbort } = require('./core');

// "host", "host:port", or a description object; a host name is resolved here
// (IPv4), since the native link takes dotted addresses only.
async function describe(address) {
  let description = address;
  if (typeof address === 'string') {
    const colon = address.lastIndexOf(':');
    const port = colon >= 0 ? Number(address.slice(colon + 1)) : NaN;
    if (colon < 0 || !Number.isInteger(port) || port < 0 || port > 65535) {
      throw new TypeError(`address must be "host:port", got "${address}"`);
    }
    description = { ip: address.slice(0, colon), port };
  }
  if (description === null || typeof description !== 'object') return { description, host: undefined };
  const { ip } = description;
  if (typeof ip !== 'string' || net.isIPv4(ip)) return { description: { type: 'TCPIP', name: 'lc', ...description }, host: ip };
  const { address: resolved } = await dns.promises.lookup(ip, { family: 4 });
  return { description: { type: 'TCPIP', name: 'lc', ...description, ip: resolved }, host: ip };
}

const NativeCom = base('Com');

// One run of a link: its codes become events, and the promise of its start.
function startLink(com, description, host, signal) {
  const run = { up: false, release: () => {} };
  const up = new Promise((resolve, reject) => Object.assign(run, { resolve, reject }));
  const ended = new Promise((resolve) => {
    run.end = resolve;
  });
  const where = `${host}:${description.port}`;
  const callback = (_, code, reason) => {
    com.emit('code', code);
    if (code === 0) {
      run.up = true;
      // The signal bounds the connect only: a link that is up stays up.
      run.release();
      run.resolve(com);
      com.emit('up');
    } else if (code === 2) {
      com.emit('state');
    } else if (code === 1) {
      run.release();
      if (!run.up) {
        // The native reason names the dotted address; say the one given.
        const text = reason ? reason.replace(`${description.ip}:${description.port}`, where) : undefined;
        run.reject(new LcError(text || `no relay answered at ${where}`, 'ERR_LC_ENDED', text));
      }
      run.end();
      com.emit('end');
    }
  };
  let started;
  try {
    started = NativeCom.prototype.start.call(com, description, callback);
  } catch (err) {
    return Promise.reject(err); // a wrong description: the native TypeError
  }
  if (!started) {
    return Promise.reject(
      new LcError('the link refused to start (type not "TCPIP", or a run still going)', 'ERR_LC_REFUSED'),
    );
  }
  com._ended = ended;
  run.release = onAbort(signal, () => {
    if (!run.up) run.reject(abortError());
    NativeCom.prototype.stop.call(com);
  });
  return up;
}

/**
 * The link to one relay. Emits 'code' (every code), 'up' (code 0), 'state'
 * (code 2) and 'end' (code 1); `codes()` iterates them until the end.
 */
class Com extends withNative(emitting(NativeCom)) {
  constructor() {
    super();
    this._ended = Promise.resolve();
  }

  /**
   * Connects; resolves with this object at the first status frame (code 0),
   * rejects when the run ends first (code 1) or `start` refuses. The address
   * is a description ({ ip, port }, ip a dotted address or a host name) or
   * a "host:port" string.
   */
  start(address, options = {}) {
    if (typeof options === 'function') return NativeCom.prototype.start.call(this, address, options);
    const { signal } = options;
    if (signal && signal.aborted) return Promise.reject(abortError());
    const ip = typeof address === 'object' && address !== null ? address.ip : undefined;
    // Dotted addresses start at once, so that a start right after another
    // is refused in call order.
    if (typeof address === 'object' && address !== null && (typeof ip !== 'string' || net.isIPv4(ip))) {
      return startLink(this, address, ip, signal);
    }
    return describe(address).then(({ description, host }) => {
      if (signal && signal.aborted) throw abortError();
      return startLink(this, description, host, signal);
    });
  }

  /** Resolves when the current run has ended (at once when none runs). */
  get ended() {
    return this._ended;
  }

  /** Ends the link; resolves once code 1 came. */
  stop() {
    NativeCom.prototype.stop.call(this);
    return this._ended;
  }

  /** The codes from now on, code 1 last. */
  codes() {
    return iterate(this, 'code', 'end');
  }

  [Symbol.asyncIterator]() {
    return this.codes();
  }

  [Symbol.asyncDispose]() {
    return this.stop();
  }
}

/** Starts a link and resolves with it once the relay answers. */
async function connect(address, options) {
  const com = new Com();
  await com.start(typeof address === 'string' ? address : { type: 'TCPIP', name: 'lc', ...address }, options);
  return com;
}

const NativeFinder = base('RelayFinder');

class RelayFinder extends withNative(NativeFinder) {
  /** One search; resolves with the relays found (possibly none). */
  start(tag = 'relay', options = {}) {
    if (typeof options === 'function') return NativeFinder.prototype.start.call(this, tag, options);
    const { signal } = options;
    if (signal && signal.aborted) return Promise.reject(abortError());
    return new Promise((resolve, reject) => {
      let aborted = false;
      const release = onAbort(signal, () => {
        aborted = true;
        this.cancel();
      });
      try {
        NativeFinder.prototype.start.call(this, tag, (_, relays) => {
          release();
          if (aborted) reject(abortError());
          else resolve(relays.filter(Boolean));
        });
      } catch (err) {
        release();
        reject(err);
      }
    });
  }

  [Symbol.dispose]() {
    this.cancel();
  }
}

/** Runs a search for relays of type `tag`. */
function findRelays(tag, options) {
  return new RelayFinder().start(tag, options);
}

module.exports = { Com, connect, findRelays, RelayFinder };
