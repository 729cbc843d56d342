'use strict';

const test = require('node:test');
const assert = require('node:assert');
const lc = require('..');

// Export name, defined name, in the order the module defines them.
const classes = [
  ['LcApp', 'LcApp'],
  ['Loader', 'Loader'],
  ['Changer', 'Changer'],
  ['Luminosity', 'Luminosity'],
  ['Player', 'Player'],
  ['Log', 'Log'],
  ['RelayFinder', 'RelayFinder'],
  ['SimLoader', 'SimLoader'],
  ['CustomApp', 'CustomApp'],
  ['Reset', 'Reset'],
  ['SdSender', 'SdSender'],
  ['Topology', 'Topology'],
  ['Com', 'ComAddon'],
  ['ComBridge', 'ComBridgeAddon'],
];

test('exports carry the classes in definition order under their names', () => {
  const keys = Object.keys(lc);
  assert.ok(keys.includes('Log'));
  const expectedOrder = classes.map(([e]) => e).filter((e) => keys.includes(e));
  assert.deepStrictEqual(keys, expectedOrder);
  for (const [exportName, definedName] of classes) {
    if (!(exportName in lc)) continue;
    assert.strictEqual(typeof lc[exportName], 'function');
    assert.strictEqual(lc[exportName].name, definedName, exportName);
  }
});

test('calling a class without new throws', () => {
  for (const name of Object.keys(lc)) {
    assert.throws(() => lc[name](), {
      name: 'TypeError',
      message: "Class constructors cannot be invoked without 'new'",
    });
  }
});

test('the package loads by name through its main entry', () => {
  const pkg = require('../package.json');
  assert.strictEqual(pkg.main, 'index.js');
  assert.strictEqual(require(require('path').join(__dirname, '..', pkg.main)), lc);
});
