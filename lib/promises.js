'use strict';

// Promise forms of the native classes. Each class here holds one native
// object (`.native`) built the same way, and turns its one-shot callbacks
// into promises; the link, the custom application channel and the bridge are
// also event emitters whose events can be read with `for await`.
//
// Failures reject with an LcError whose `code` says what went wrong:
//   ERR_LC_REFUSED  the native call refused to start (returned false)
//   ERR_LC_FAILED   the operation ran and reported failure
//   ERR_LC_ENDED    the link, bridge or loop ended before it was up
//   ERR_LC_ABORTED  the caller's AbortSignal fired
const { EventEmitter } = require('events');
const native = require('./native');
const { iterate } = require('./iterate');
const { withPacing } = require('./player');

class LcError extends Error {
  constructor(message, code) {
    super(message);
    this.name = 'LcError';
    this.code = code;
  }
}

// The native class `name`, or a clear error when this build lacks it.
function nativeClass(name) {
  const cls = native[name];
  if (typeof cls !== 'function') {
    throw new LcError(`this build of the module has no class "${name}"`, 'ERR_LC_MISSING');
  }
  return cls;
}

const hold = (wrapper, nativeObject) =>
  Object.defineProperty(wrapper, 'native', { value: nativeObject, enumerable: true });

class Wrapper {
  constructor(nativeObject) {
    hold(this, nativeObject);
  }
}

// The wrappers whose runs report more than once are event emitters too.
class EmittingWrapper extends EventEmitter {
  constructor(nativeObject) {
    super();
    hold(this, nativeObject);
  }
}

// Accepts a native object or one of the wrappers below.
function toNative(value) {
  return value instanceof Wrapper || value instanceof EmittingWrapper ? value.native : value;
}

// Resolves on `false`, rejects on `true`: the error-first boolean callbacks.
function failurePromise(what, start) {
  return new Promise((resolve, reject) => {
    start((failed) => {
      if (failed) reject(new LcError(`${what} failed`, 'ERR_LC_FAILED'));
      else resolve();
    });
  });
}

function onAbort(signal, abort) {
  if (!signal) return () => {};
  if (signal.aborted) {
    abort();
    return () => {};
  }
  signal.addEventListener('abort', abort, { once: true });
  return () => signal.removeEventListener('abort', abort);
}

const abortError = () => new LcError('aborted', 'ERR_LC_ABORTED');

// One code of a link run: events, and the run's promises settled.
function report(com, code, run, description) {
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
      run.reject(new LcError(`no relay answered at ${description.ip}:${description.port}`, 'ERR_LC_ENDED'));
    }
    run.end();
    com.emit('end');
  }
}

/**
 * The link to one relay. Emits 'code' (every code), 'up' (code 0), 'state'
 * (code 2) and 'end' (code 1); `codes()` iterates them until the end.
 */
class Com extends EmittingWrapper {
  constructor(com) {
    super(com === undefined ? new (nativeClass('Com'))() : com);
    this._ended = Promise.resolve();
  }

  /**
   * Connects; resolves with this object at the first status frame (code 0),
   * rejects when the run ends first (code 1) or `start` refuses.
   */
  start(description, { signal } = {}) {
    if (signal && signal.aborted) return Promise.reject(abortError());
    const run = { up: false, release: () => {} };
    const up = new Promise((resolve, reject) => Object.assign(run, { resolve, reject }));
    const ended = new Promise((resolve) => {
      run.end = resolve;
    });
    let started;
    try {
      started = this.native.start(description, (_, code) => report(this, code, run, description));
    } catch (err) {
      return Promise.reject(err); // a wrong description: the native TypeError
    }
    if (!started) {
      return Promise.reject(
        new LcError('the link refused to start (type not "TCPIP", or a run still going)', 'ERR_LC_REFUSED'),
      );
    }
    this._ended = ended;
    run.release = onAbort(signal, () => {
      if (!run.up) run.reject(abortError());
      this.native.stop();
    });
    return up;
  }

  /** Resolves when the current run has ended (at once when none runs). */
  get ended() {
    return this._ended;
  }

  /** Ends the link; resolves once code 1 came. */
  stop() {
    this.native.stop();
    return this._ended;
  }

  ready() {
    return this.native.ready();
  }

  getVersion() {
    return this.native.getVersion();
  }

  /** The codes from now on, code 1 last. */
  codes() {
    return iterate(this, 'code', 'end');
  }

  [Symbol.asyncIterator]() {
    return this.codes();
  }
}

/** Starts a link and resolves with it once the relay answers. */
async function connect(description, options) {
  const com = new Com();
  await com.start({ type: 'TCPIP', name: 'lc', ...description }, options);
  return com;
}

class Topology extends Wrapper {
  constructor(document) {
    const cls = nativeClass('Topology');
    super(document === undefined ? new cls() : new cls(document));
  }

  /** Asks the relay behind `com` for the installation; resolves when it came. */
  update(relayTag, tileTag, com) {
    return failurePromise('the topology update', (cb) =>
      this.native.update(relayTag, tileTag, toNative(com), cb),
    );
  }

  getTop() {
    return this.native.getTop();
  }

  getMatrix(angle) {
    return this.native.getMatrix(angle);
  }
}

class Changer extends Wrapper {
  constructor(com) {
    super(new (nativeClass('Changer'))(toNative(com)));
  }

  changeTo(application) {
    return failurePromise('the application change', (cb) => this.native.changeTo(application, cb));
  }
}

class Luminosity extends Wrapper {
  constructor(com) {
    super(new (nativeClass('Luminosity'))(toNative(com)));
  }

  changeTo(level) {
    return failurePromise('the luminosity change', (cb) => this.native.changeTo(level, cb));
  }
}

class Reset extends Wrapper {
  constructor(com) {
    super(new (nativeClass('Reset'))(toNative(com)));
  }

  reset() {
    return failurePromise('the reset', (cb) => this.native.reset(cb));
  }

  fallback() {
    return failurePromise('the fallback reset', (cb) => this.native.fallback(cb));
  }
}

// A transfer with an optional progress callback (sent, total).
function transfer(what, target, first, { onProgress } = {}) {
  return failurePromise(what, (cb) =>
    onProgress ? target.send(first, cb, onProgress) : target.send(first, cb),
  );
}

class Loader extends Wrapper {
  constructor(com) {
    super(new (nativeClass('Loader'))(toNative(com)));
  }

  /** Uploads a package; `options.onProgress(sent, total)` counts packets. */
  send(app, options) {
    return transfer('the upload', this.native, toNative(app), options);
  }
}

class SdSender extends Wrapper {
  constructor(com) {
    super(new (nativeClass('SdSender'))(toNative(com)));
  }

  /** Sends a file to the SD card; `options.onProgress(sent, total)` counts bytes. */
  send(path, options) {
    return transfer('the transfer to the SD card', this.native, path, options);
  }
}

class SimLoader extends Wrapper {
  constructor(com) {
    super(new (nativeClass('SimLoader'))(toNative(com)));
  }

  send(path, options) {
    return transfer('the transfer to the simulator', this.native, path, options);
  }
}

class LcApp extends Wrapper {
  constructor() {
    super(new (nativeClass('LcApp'))());
  }

  openFromFile(path) {
    return this.native.openFromFile(path);
  }

  getTypes() {
    return this.native.getTypes();
  }
}

class RelayFinder extends Wrapper {
  constructor() {
    super(new (nativeClass('RelayFinder'))());
  }

  /** One search; resolves with the relays found (possibly none). */
  start(tag = 'relay') {
    return new Promise((resolve) => {
      this.native.start(tag, (_, relays) => resolve(relays.filter(Boolean)));
    });
  }
}

/** Runs a search for relays of type `tag`. */
function findRelays(tag) {
  return new RelayFinder().start(tag);
}

/**
 * The player: `start` resolves when the playback has ended (stop, the link
 * ended, or 2 s without a frame from the relay); `push`, `play` and the
 * 'taken', 'sensors' and 'end' events pace a script (lib/player.js).
 */
class Player extends withPacing(EmittingWrapper) {
  constructor(com) {
    super(new (nativeClass('Player'))(toNative(com)));
  }

  addImage(image, format) {
    return format === undefined ? this.native.addImage(image) : this.native.addImage(image, format);
  }

  getSensors(values) {
    this.native.getSensors(values);
  }

  getScreen(angle, topology, mode) {
    return this.native.getScreen(angle, toNative(topology), mode);
  }

  getCounters() {
    return this.native.getCounters();
  }
}

/**
 * The custom application channel. Emits 'concast' (a Buffer per data frame
 * of the relay) and 'stop' (the run ended); `messages()` iterates the
 * concast buffers until the run ends.
 */
class CustomApp extends EmittingWrapper {
  constructor(com) {
    super(new (nativeClass('CustomApp'))(toNative(com)));
    this._stopped = Promise.resolve();
  }

  /** Starts a run; resolves once it has ended. Rejects when `start` refuses. */
  start() {
    let done;
    const stopped = new Promise((resolve) => {
      done = resolve;
    });
    let started;
    try {
      started = this.native.start((_, kind, bytes) => {
        if (kind === 'concast') {
          this.emit('concast', bytes);
        } else if (kind === 'stop') {
          done();
          this.emit('stop');
        }
      });
    } catch (err) {
      return Promise.reject(err);
    }
    if (started === false) {
      return Promise.reject(new LcError('a custom application run is still going', 'ERR_LC_REFUSED'));
    }
    this._stopped = stopped;
    return stopped;
  }

  get stopped() {
    return this._stopped;
  }

  /** Ends the run; resolves once it has. */
  stop() {
    this.native.stop();
    return this._stopped;
  }

  sendBroadcast(bytes) {
    return this.native.sendBroadcast(bytes);
  }

  sendData(bytes) {
    return this.native.sendData(bytes);
  }

  messages() {
    return iterate(this, 'concast', 'stop');
  }

  [Symbol.asyncIterator]() {
    return this.messages();
  }
}

/**
 * The bridge of a link to one local TCP client. `start` resolves with the
 * port once it listens, rejects when the bridge ends first.
 */
class ComBridge extends EmittingWrapper {
  constructor(com) {
    super(new (nativeClass('ComBridge'))(toNative(com)));
    this._ended = Promise.resolve();
  }

  start(options) {
    let settle;
    const listening = new Promise((resolve, reject) => {
      settle = { resolve, reject };
    });
    let endResolve;
    const ended = new Promise((resolve) => {
      endResolve = resolve;
    });
    let bound = false;
    const callback = (_, code, port) => {
      if (code === 0) {
        bound = true;
        settle.resolve(port);
        this.emit('listening', port);
      } else if (code === 1) {
        if (!bound) settle.reject(new LcError('the bridge could not listen', 'ERR_LC_ENDED'));
        endResolve();
        this.emit('end');
      }
    };
    let started;
    try {
      started = options === undefined ? this.native.start(callback) : this.native.start(callback, options);
    } catch (err) {
      return Promise.reject(err); // a wrong address or port
    }
    if (!started) {
      return Promise.reject(new LcError('the bridge is already running', 'ERR_LC_REFUSED'));
    }
    this._ended = ended;
    return listening;
  }

  get ended() {
    return this._ended;
  }

  stop() {
    this.native.stop();
    return this._ended;
  }

  getPort() {
    return this.native.getPort();
  }
}

module.exports = {
  LcError,
  toNative,
  connect,
  findRelays,
  Com,
  Topology,
  Changer,
  Luminosity,
  Reset,
  Loader,
  SdSender,
  SimLoader,
  LcApp,
  RelayFinder,
  Player,
  CustomApp,
  ComBridge,
};
