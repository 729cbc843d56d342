'use strict';

// The loops that stream over a link: the player, the custom application
// channel and the bridge, each an event emitter whose run is a promise.
const { iterate } = require('../iterate');
const { withPacing } = require('../player');
const { LcError, abortError, base, withNative, emitting, onAbort, stoppable } = require('./core');

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

module.exports = { Player, CustomApp, ComBridge };
