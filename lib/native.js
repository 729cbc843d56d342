'use strict';

// Loads the compiled module: the prebuilt binary for this platform and
// architecture (prebuilds/<platform>-<arch>/lc.napi.node, Node-API 8, one file
// for every runtime), else the local build (release, then debug). In a
// checkout that has both a prebuild and a local build, the newer file loads
// first, so a module just rebuilt from changed sources is never shadowed by an
// older prebuild. A binary that exists but cannot be loaded here (another C
// library, say) gives way to the next; the error names every attempt.
const fs = require('fs');
const path = require('path');

const root = path.join(__dirname, '..');
const prebuild = path.join(root, 'prebuilds', `${process.platform}-${process.arch}`, 'lc.napi.node');
const builds = [
  path.join(root, 'build', 'Release', 'lc.node'),
  path.join(root, 'build', 'Debug', 'lc.node'),
];

function modified(file) {
  try {
    return fs.statSync(file).mtimeMs;
  } catch {
    return -1;
  }
}

function candidates() {
  const prebuilt = modified(prebuild);
  const local = modified(builds[0]);
  if (prebuilt >= 0 && local > prebuilt) return [builds[0], prebuild, builds[1]];
  return [prebuild, ...builds];
}

function load() {
  const failures = [];
  for (const file of candidates()) {
    if (modified(file) < 0) continue;
    try {
      return { file, exports: require(file) };
    } catch (err) {
      failures.push(`${path.relative(root, file)}: ${err.message.split('\n')[0]}`);
    }
  }
  const err = new Error(`lc: no loadable native module for ${process.platform}-${process.arch}` +
    (failures.length ? `\n  ${failures.join('\n  ')}` : ' (no prebuild fits and nothing was built)') +
    '\n  build one from source with `npm rebuild` (needs cmake, a C++17 compiler and the JsonCpp headers)');
  err.code = 'MODULE_NOT_FOUND';
  throw err;
}

const loaded = load();
module.exports = loaded.exports;
// Which file loaded, for telling a prebuild from a local build; not
// enumerable, so the exports' keys stay the classes.
Object.defineProperty(module.exports, Symbol.for('lc.nativeFile'), { value: loaded.file });
