'use strict';

// The package's install step. When the prebuilt binary for this platform and
// architecture loads, there is nothing to do; otherwise (another platform, a
// C library it was not built for, or `npm install --build-from-source`) the
// module is compiled here, and a failed compile says what it needs.
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.join(__dirname, '..');
const prebuild = path.join(root, 'prebuilds', `${process.platform}-${process.arch}`, 'lc.napi.node');

function prebuildLoads() {
  // In a child: a binary that fails to load must not take this process down.
  const r = spawnSync(process.execPath, ['-e', 'require(process.argv[1])', prebuild],
    { stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8' });
  return r.status === 0;
}

const fromSource = process.env.npm_config_build_from_source === 'true';
if (!fromSource && prebuildLoads()) process.exit(0);

console.error(`lc: ${fromSource ? 'building from source as asked'
  : `no prebuilt binary loads on ${process.platform}-${process.arch}`}; compiling`);
const cmakeJs = require.resolve('cmake-js/bin/cmake-js');
const r = spawnSync(process.execPath, [cmakeJs, 'compile', '--CDLC_BUILD_TESTS=OFF'],
  { cwd: root, stdio: 'inherit' });
if (r.status !== 0) {
  console.error([
    'lc: compiling the native module failed. A source build needs:',
    '  - cmake 3.16 or newer and make or ninja',
    '  - a C++17 compiler (g++ 8 or clang 7 or newer)',
    '  - the JsonCpp library and headers (Debian and Ubuntu: libjsoncpp-dev;',
    '    Fedora: jsoncpp-devel; Alpine: jsoncpp-dev; macOS: brew install jsoncpp)',
    'On Debian: apt-get install cmake ninja-build g++ libjsoncpp-dev',
  ].join('\n'));
  process.exit(1);
}
