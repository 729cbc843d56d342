'use strict';

// Promise forms of the native classes. Each class here derives from its
// native class, so every method without a callback is the native one; the
// methods that report through a callback are replaced by forms that return
// a promise, from the table `waiting` below. The link, the custom
// application channel and the bridge are also event emitters whose events
// can be read with `for await`.
//
// Failures reject with an LcError whose `code` says what went wrong, and
// whose `reason` is what the module logged about it, when it logged:
//   ERR_LC_REFUSED  the native call refused to start (returned false)
//   ERR_LC_FAILED   the operation ran and reported failure
//   ERR_LC_ENDED    the link, bridge or loop ended before it was up
//   ERR_LC_ABORTED  the caller's AbortSignal fired
const { EventEmitter } = require('events');
const dns = require('dns');
const net = require('net');
const native = require('./native');
const { iterate } = require('./iterate');
const { withPacing } = require('./player');

class LcError extends Error {
  constructor(message, code, reason) {
    super(message);
    this.name = 'LcError';
    this.code = code;
    if (reason !== undefined) this.reason = reason;
  }
}

const failure = (what, reason) =>
  new LcError(reason ? `${what} failed: ${reason}` : `${what} failed`, 'ERR_LC_FAILED', reason);
const abortError = () => new LcError('aborted', 'ERR_LC_ABORTED');

// The native class `name`, or a stand-in whose construction fails clearly
// when this build lacks it.
function base(name) {
  const cls = native[name];
  if (typeof cls === 'function') return cls;
  return class {
    constructor() {
      throw new LcError(`this build of the module has no class "${name}"`, 'ERR_LC_MISSING');
    }
  };
}

// The objects are their own native objects; `native` stays for callers that
// used it when the promise forms were wrappers.
function withNative(cls) {
  Object.defineProperty(cls.prototype, 'native', {
    get() {
      return this;
    },
  });
  return cls;
}

// A native class whose objects are event emitters as well.
function emitting(Base) {
  class Emitting extends Base {
    constructor(...args) {
      super(...args);
      EventEmitter.call(this);
    }
  }
  for (const key of Object.getOwnPropertyNames(EventEmitter.prototype)) {
    if (key !== 'constructor') {
      Object.defineProperty(Emitting.prototype, key, Object.getOwnPropertyDescriptor(EventEmitter.prototype, key));
    }
  }
  return Emitting;
}

// The promise forms accept the native objects they derive from as they are.
const toNative = (value) => value;

function onAbort(signal, abort) {
  if (!signal) return () => {};
  if (signal.aborted) {
    abort();
    return () => {};
  }
  signal.addEventListener('abort', abort, { once: true });
  return () => signal.removeEventListener('abort', abort);
}

// Runs a native method whose callback is error-first with a boolean and the
// reason last. An abort cancels the object's running operations; the promise
// settles when the native work has ended.
function command(self, method, what, args, options = {}) {
  const { signal, onProgress } = options;
  if (signal && signal.aborted) return Promise.reject(abortError());
  return new Promise((resolve, reject) => {
    let aborted = false;
    const release = onAbort(signal, () => {
      aborted = true;
      self.cancel();
    });
    const done = (failed, reason) => {
      release();
      if (aborted) reject(abortError());
      else if (failed) reject(failure(what, reason));
      else resolve();
    };
    try {
      if (onProgress) method.call(self, ...args, done, onProgress);
      else method.call(self, ...args, done);
    } catch (err) {
      release();
      reject(err);
    }
  });
}

// The methods that wait: name, how many arguments come before the callback,
// and how a failure is described. Each becomes method(...arguments, options)
// where options are { signal } and, for transfers, { onProgress }.
const waiting = {
  Topology: { update: [3, 'the topology update'] },
  Changer: { changeTo: [1, 'the application change'] },
  Luminosity: { changeTo: [1, 'the luminosity change'] },
  Reset: { reset: [0, 'the reset'], fallback: [0, 'the fallback reset'] },
  Loader: { send: [1, 'the upload'] },
  SdSender: { send: [1, 'the transfer to the SD card'] },
  SimLoader: { send: [1, 'the transfer to the simulator'] },
};

// The promise form of a native class whose waiting methods are in `waiting`.
function commands(name) {
  const Native = base(name);
  const cls = withNative(class extends Native {});
  Object.defineProperty(cls, 'name', { value: name });
  for (const [method, [arity, what]] of Object.entries(waiting[name])) {
    const nativeMethod = Native.prototype[method];
    Object.defineProperty(cls.prototype, method, {
      value(...args) {
        // A callback where the options go: the native form, as it is.
        if (typeof args[arity] === 'function') return nativeMethod.apply(this, args);
        return command(this, nativeMethod, what, args.slice(0, arity), args[arity]);
      },
      writable: true,
      configurable: true,
    });
  }
  // A `using` block ends what the object still runs.
  cls.prototype[Symbol.dispose] = function dispose() {
    this.cancel();
  };
  return cls;
}

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

const Topology = commands('Topology');
const Changer = commands('Changer');
const Luminosity = commands('Luminosity');
const Reset = commands('Reset');
const Loader = commands('Loader');
const SdSender = commands('SdSender');
const SimLoader = commands('SimLoader');

class LcApp extends withNative(base('LcApp')) {}

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

// A run that a stop ends: an abort stops it, and its promise then rejects.
function stoppable(self, signal, stop) {
  let aborted = false;
  const release = onAbort(signal, () => {
    aborted = true;
    stop.call(self);
  });
  return { release, aborted: () => aborted };
}

const NativePlayer = base('Player');

/**
 * The player: `start` resolves when the playback has ended (stop, the link
 * ended, or 2 s without a frame from the relay); `push`, `play` and the
 * 'taken', 'sensors' and 'end' events pace a script (lib/player.js).
 */
class Player extends withPacing(withNative(emitting(NativePlayer)), { LcError, abortError, onAbort }) {
  [Symbol.dispose]() {
    this.stop();
  }
}

const NativeApp = base('CustomApp');

/**
 * The custom application channel. Emits 'concast' (a Buffer per data frame
 * of the relay) and 'stop' (the run ended); `messages()` iterates the
 * concast buffers until the run ends.
 */
class CustomApp extends withNative(emitting(NativeApp)) {
  constructor(com) {
    super(com);
    this._stopped = Promise.resolve();
  }

  /** Starts a run; resolves once it has ended. Rejects when `start` refuses. */
  start(options = {}) {
    if (typeof options === 'function') return NativeApp.prototype.start.call(this, options);
    const { signal } = options;
    if (signal && signal.aborted) return Promise.reject(abortError());
    let done;
    const stopped = new Promise((resolve) => {
      done = resolve;
    });
    const run = stoppable(this, signal, NativeApp.prototype.stop);
    let started;
    try {
      started = NativeApp.prototype.start.call(this, (_, kind, bytes) => {
        if (kind === 'concast') {
          this.emit('concast', bytes);
        } else if (kind === 'stop') {
          run.release();
          done();
          this.emit('stop');
        }
      });
    } catch (err) {
      run.release();
      return Promise.reject(err);
    }
    if (started === false) {
      run.release();
      return Promise.reject(new LcError('a custom application run is still going', 'ERR_LC_REFUSED'));
    }
    this._stopped = stopped;
    return stopped.then(() => {
      if (run.aborted()) throw abortError();
    });
  }

  get stopped() {
    return this._stopped;
  }

  /** Ends the run; resolves once it has. */
  stop() {
    NativeApp.prototype.stop.call(this);
    return this._stopped;
  }

  messages() {
    return iterate(this, 'concast', 'stop');
  }

  [Symbol.asyncIterator]() {
    return this.messages();
  }

  [Symbol.asyncDispose]() {
    return this.stop();
  }
}

const NativeBridge = base('ComBridge');

/**
 * The bridge of a link to one local TCP client. `start` resolves with the
 * port once it listens, rejects when the bridge ends first.
 */
class ComBridge extends withNative(emitting(NativeBridge)) {
  constructor(com) {
    super(com);
    this._ended = Promise.resolve();
  }

  /** `options.signal` ends the bridge, whether it listens yet or not. */
  start(options, nativeOptions) {
    if (typeof options === 'function') {
      return nativeOptions === undefined
        ? NativeBridge.prototype.start.call(this, options)
        : NativeBridge.prototype.start.call(this, options, nativeOptions);
    }
    const { signal, ...bridgeOptions } = options || {};
    if (signal && signal.aborted) return Promise.reject(abortError());
    let settle;
    const listening = new Promise((resolve, reject) => {
      settle = { resolve, reject };
    });
    let endResolve;
    const ended = new Promise((resolve) => {
      endResolve = resolve;
    });
    let bound = false;
    const run = stoppable(this, signal, NativeBridge.prototype.stop);
    const callback = (_, code, port, reason) => {
      if (code === 0) {
        bound = true;
        settle.resolve(port);
        this.emit('listening', port);
      } else if (code === 1) {
        run.release();
        // The reason comes last: after the port when the native side gives one.
        const why = typeof port === 'string' ? port : reason;
        if (run.aborted() && !bound) settle.reject(abortError());
        else if (!bound) {
          settle.reject(new LcError(why ? `the bridge could not listen: ${why}` : 'the bridge could not listen', 'ERR_LC_ENDED', why));
        }
        endResolve();
        this.emit('end');
      }
    };
    let started;
    try {
      started = options === undefined
        ? NativeBridge.prototype.start.call(this, callback)
        : NativeBridge.prototype.start.call(this, callback, bridgeOptions);
    } catch (err) {
      run.release();
      return Promise.reject(err); // a wrong address or port
    }
    if (!started) {
      run.release();
      return Promise.reject(new LcError('the bridge is already running', 'ERR_LC_REFUSED'));
    }
    this._ended = ended;
    return listening;
  }

  get ended() {
    return this._ended;
  }

  stop() {
    NativeBridge.prototype.stop.call(this);
    return this._ended;
  }

  [Symbol.asyncDispose]() {
    return this.stop();
  }
}

module.exports = {
  LcError,
  logs: require('./logs').logs,
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
// Required last: the show builds on the classes above.
module.exports.Show = require('./show').Show;
// The table of waiting methods, for the test that keeps the forms in step;
// not enumerable, so the exports' keys stay the API.
Object.defineProperty(module.exports, 'waiting', { value: waiting, enumerable: false });
