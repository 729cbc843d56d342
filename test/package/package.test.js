'use strict';

// The package as its users get it: the tarball that `make pack` leaves in
// build-pack/, the prebuilt binaries inside it, and its declarations.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');

const root = path.join(__dirname, '..', '..');
const packDir = path.join(root, 'build-pack');
const tarball = () => {
  const found = fs.existsSync(packDir) ? fs.readdirSync(packDir).filter((f) => f.endsWith('.tgz')) : [];
  assert.strictEqual(found.length, 1, `one tarball in ${packDir} (make pack): ${found}`);
  return path.join(packDir, found[0]);
};
const run = (cmd, args, options) => execFileSync(cmd, args, { encoding: 'utf8', ...options });

// What a prebuild may need from the system: glibc, libstdc++ and libgcc.
const SYSTEM = new Set(['libc.so.6', 'libm.so.6', 'libstdc++.so.6', 'libgcc_s.so.1',
  'ld-linux-x86-64.so.2', 'ld-linux-aarch64.so.1']);
const dynamic = (file, tag) => [...run('readelf', ['-dW', file])
  .matchAll(new RegExp(`\\(${tag}\\)[^[]*\\[([^\\]]*)\\]`, 'g'))].map((m) => m[1]);

test('each prebuilt binary needs only glibc, libstdc++, libgcc and what lies beside it', () => {
  const targets = [
    { dir: 'linux-x64', machine: 'Advanced Micro Devices X86-64', list: (f) => ['ldd', [f]] },
    { dir: 'linux-arm64', machine: 'AArch64',
      list: (f) => ['qemu-aarch64', ['/lib/ld-linux-aarch64.so.1', '--list', f]] },
  ];
  for (const { dir, machine, list } of targets) {
    const folder = path.join(root, 'prebuilds', dir);
    const binary = path.join(folder, 'lc.napi.node');
    const beside = fs.readdirSync(folder).filter((f) => f !== 'lc.napi.node');
    for (const file of [binary, ...beside.map((f) => path.join(folder, f))]) {
      assert.match(run('readelf', ['-hW', file]), new RegExp(`Machine:\\s+${machine}`), file);
      for (const lib of dynamic(file, 'NEEDED')) {
        assert.ok(SYSTEM.has(lib) || beside.includes(lib), `${dir}/${path.basename(file)} needs ${lib}`);
      }
    }
    assert.deepStrictEqual(dynamic(binary, 'RUNPATH'), ['$ORIGIN'], dir);
    // The dynamic linker of the binary's own architecture finds every library,
    // the ones beside it there and not in the system.
    const [cmd, args] = list(binary);
    const listed = run(cmd, args);
    const resolved = Object.fromEntries([...listed.matchAll(/^\s*(\S+) => (\S+)/gm)]
      .map((m) => [m[1], m[2]]));
    // The dynamic linker itself (needed for thread-local storage) is listed
    // by its path alone.
    for (const m of listed.matchAll(/^\s*(\/\S*\/(ld-linux[^\s/]*))\s/gm)) resolved[m[2]] = m[1];
    for (const lib of dynamic(binary, 'NEEDED')) {
      assert.ok(resolved[lib] && resolved[lib] !== 'not', `${dir}: ${lib} not found`);
      if (beside.includes(lib)) assert.strictEqual(path.dirname(resolved[lib]), folder, lib);
    }
  }
});

// Runs in a mount and network namespace of its own: no compiler, no cmake,
// no system JsonCpp (empty files bound over them) and no network but lo, so
// npm installs from its cache or not at all.
const SCENARIO = String.raw`
set -eu
ip link set lo up
[ "$(tail -n +3 /proc/self/net/dev | cut -d: -f1 | tr -d ' ')" = lo ] || { echo "interfaces besides lo"; exit 3; }
empty=$(mktemp) && emptydir=$(mktemp -d)
for f in /usr/bin/cmake /usr/bin/*g++* /usr/bin/*gcc* /usr/bin/c++ /usr/bin/cc /usr/bin/clang* \
         /usr/lib/*-linux-gnu/libjsoncpp.so*; do
  [ -e "$f" ] && mount --bind "$empty" "$(readlink -f "$f")"
done
[ -d /usr/include/json ] && mount --bind "$emptydir" /usr/include/json
for tool in cmake g++ c++ cc; do
  if "$tool" --version >/dev/null 2>&1; then echo "$tool still runs"; exit 4; fi
done
cd "$PROJECT"
npm install --offline --no-audit --no-fund --loglevel=error
node check.mjs
npx --offline lc --help | head -1
# Where no prebuild serves, the install compiles, and without the tools it
# fails saying what they are.
rm -rf node_modules
if npm install --offline --no-audit --no-fund --loglevel=error --build-from-source > source.log 2>&1; then
  echo "a source build without compiler or cmake succeeded"; exit 5
fi
grep -q 'a C++17 compiler' source.log && grep -q 'libjsoncpp-dev' source.log && echo "SOURCE BUILD NEEDS SAID"
`;

// `require` (through createRequire, the "require" condition) and `import` of
// the installed package: the same classes, a link to the virtual relay.
const CHECK = `
import { Com, promises } from 'lc-tiles';
import { connect } from 'lc-tiles/promises';
import { createRequire } from 'node:module';
const require = createRequire(import.meta.url);
const lc = require('lc-tiles');
const { VirtualRelay } = require('lc-tiles/relay');
const relay = new VirtualRelay({ version: 0x00020103, state: 1 });
const port = await relay.start();
const com = await connect({ ip: '127.0.0.1', port });
const file = Object.keys(require.cache).find((k) => k.endsWith('.node'));
console.log('LOADED', com.getVersion(), lc.Com === Com, lc.promises.connect === connect, file);
com.stop();
await relay.stop();
`;

// npm resolves versions from the registry's documents, which the cache only
// holds where something asked for them; without a network the consumer's
// lock file pins the package's dependencies as ours does, so npm takes
// them from the cache by their checksums.
function consumerLock(file) {
  const ours = JSON.parse(fs.readFileSync(path.join(root, 'package-lock.json'), 'utf8'));
  const own = ours.packages[''];
  const packages = {
    '': { name: 'consumer', dependencies: { 'lc-tiles': `file:${file}` } },
    'node_modules/lc-tiles': { version: own.version, resolved: `file:${file}`, hasInstallScript: true,
      license: own.license, dependencies: own.dependencies, bin: own.bin, engines: own.engines },
  };
  for (const [where, entry] of Object.entries(ours.packages)) {
    if (where.startsWith('node_modules/') && !entry.dev) packages[where] = entry;
  }
  return { name: 'consumer', lockfileVersion: 3, requires: true, packages };
}

test('the packed tarball installs and loads without a compiler, cmake or JsonCpp', { timeout: 300000 }, () => {
  const project = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-consumer-'));
  try {
    const file = tarball();
    const dependencies = { 'lc-tiles': `file:${file}` };
    fs.writeFileSync(path.join(project, 'package.json'),
      JSON.stringify({ name: 'consumer', private: true, dependencies }));
    fs.writeFileSync(path.join(project, 'package-lock.json'), JSON.stringify(consumerLock(file)));
    fs.writeFileSync(path.join(project, 'check.mjs'), CHECK);
    const started = performance.now();
    const r = spawnSync('unshare', ['-mn', 'bash', '-c', SCENARIO], {
      encoding: 'utf8', env: { ...process.env, PROJECT: project },
    });
    const out = `${r.stdout}\n${r.stderr}`;
    assert.strictEqual(r.status, 0, out);
    const prebuild = path.join(project, 'node_modules', 'lc-tiles', 'prebuilds',
      `linux-${process.arch}`, 'lc.napi.node');
    assert.ok(out.includes(`LOADED ${0x00020103} true true ${prebuild}`), out);
    assert.match(out, /Usage: lc/, out);
    assert.ok(out.includes('SOURCE BUILD NEEDS SAID'), out);
    console.log(`# installed and checked in ${Math.round(performance.now() - started)} ms`);
  } finally {
    fs.rmSync(project, { recursive: true, force: true });
  }
});

test('an ES module written in TypeScript compiles against the package with --strict', () => {
  const project = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-types-'));
  try {
    fs.mkdirSync(path.join(project, 'node_modules', '@types'), { recursive: true });
    fs.symlinkSync(root, path.join(project, 'node_modules', 'lc-tiles'));
    fs.symlinkSync(path.join(root, 'node_modules', '@types', 'node'),
      path.join(project, 'node_modules', '@types', 'node'));
    fs.writeFileSync(path.join(project, 'package.json'), '{ "type": "module" }\n');
    fs.copyFileSync(path.join(__dirname, 'usage.mts'), path.join(project, 'usage.mts'));
    const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
    const r = spawnSync(process.execPath, [tsc, '--strict', '--noEmit', '--module', 'nodenext',
      '--moduleResolution', 'nodenext', '--target', 'es2022', '--types', 'node', 'usage.mts'],
    { cwd: project, encoding: 'utf8' });
    assert.strictEqual(r.status, 0, r.stdout + r.stderr);
  } finally {
    fs.rmSync(project, { recursive: true, force: true });
  }
});
