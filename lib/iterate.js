'use strict';

// Turns an emitter's events into an async iterator: values of `valueEvent`
// are queued from the moment of the call, and the iteration ends after
// `endEvent`. Breaking out of a `for await` loop unsubscribes at once.
function iterate(emitter, valueEvent, endEvent) {
  const queue = [];
  let waiting = null;
  let ended = false;

  const onValue = (value) => {
    if (waiting) {
      const w = waiting;
      waiting = null;
      w({ value, done: false });
    } else {
      queue.push(value);
    }
  };
  const onEnd = () => {
    ended = true;
    unsubscribe();
    if (waiting) {
      const w = waiting;
      waiting = null;
      w({ value: undefined, done: true });
    }
  };
  const unsubscribe = () => {
    emitter.off(valueEvent, onValue);
    emitter.off(endEvent, onEnd);
  };
  emitter.on(valueEvent, onValue);
  emitter.on(endEvent, onEnd);

  return {
    next() {
      if (queue.length > 0) return Promise.resolve({ value: queue.shift(), done: false });
      if (ended) return Promise.resolve({ value: undefined, done: true });
      return new Promise((resolve) => {
        waiting = resolve;
      });
    },
    return() {
      ended = true;
      queue.length = 0;
      unsubscribe();
      if (waiting) {
        const w = waiting;
        waiting = null;
        w({ value: undefined, done: true });
      }
      return Promise.resolve({ value: undefined, done: true });
    },
    [Symbol.asyncIterator]() {
      return this;
    },
  };
}

module.exports = { iterate };
