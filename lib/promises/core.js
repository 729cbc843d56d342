'use strict';

// What every promise form is built from: the error they reject with, the
// native class or a stand-in, event emitting, abort signals, and the table
// of native methods that wait on a callback.
const { EventEmitter } = require('events');
const native = require('../native');

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

// A run that a stop ends: an abort stops it, and its promise then rejects.
function stoppable(self, signal, stop) {
  let aborted = false;
  const release = onAbort(signal, () => {
    aborted = true;
    stop.call(self);
  });
  return { release, aborted: () => aborted };
}

module.exports = { LcError, failure, abortError, base, withNative, emitting, toNative, onAbort, command, waiting, commands, stoppable };
