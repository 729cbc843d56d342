'use strict';

// The package entry: the native classes, as the compiled module defines them.
// `promises` (also `require('lc-tiles/promises')`) holds the same work as promises,
// events and async iterators; it is not enumerable, so the exports' keys stay
// the classes, in the order the module defines them.
const native = require('./lib/native');

module.exports = { ...native };
// `logs` (the module's log lines as events) is not enumerable either.
Object.defineProperty(module.exports, 'logs', {
  enumerable: false,
  get: () => require('./lib/logs').logs,
});
Object.defineProperty(module.exports, 'promises', {
  enumerable: false,
  get: () => require('./lib/promises'),
});
Object.defineProperty(module.exports, 'Show', {
  enumerable: false,
  get: () => require('./lib/promises').Show,
});
