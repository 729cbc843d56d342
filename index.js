'use strict';

// The package entry: the native classes, as the compiled module defines them,
// and `promises`, the same work as promises, events and async iterators.
const native = require('./lib/native');

module.exports = { ...native };
Object.defineProperty(module.exports, 'promises', {
  enumerable: true,
  get: () => require('./lib/promises'),
});
