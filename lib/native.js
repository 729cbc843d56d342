'use strict';

// Loads the compiled module: the release build, or a debug one when that is
// all there is.
const path = require('path');

const root = path.join(__dirname, '..');
const candidates = [
  path.join(root, 'build', 'Release', 'lc.node'),
  path.join(root, 'build', 'Debug', 'lc.node'),
];

let lastError;
for (const file of candidates) {
  try {
    module.exports = require(file);
    lastError = undefined;
    break;
  } catch (err) {
    lastError = err;
    if (err.code !== 'MODULE_NOT_FOUND') throw err;
  }
}
if (lastError) throw lastError;
