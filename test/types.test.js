'use strict';

// The declarations in index.d.ts must describe what the module really
// exports: every class with its methods, nothing more, nothing less.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const ts = require('typescript');
const lc = require('..');

const file = path.join(__dirname, '..', 'index.d.ts');

function declaredClasses() {
  const program = ts.createProgram([file], { noEmit: true, strict: true });
  const diagnostics = ts.getPreEmitDiagnostics(program);
  const source = program.getSourceFile(file);
  const classes = new Map();
  for (const node of source.statements) {
    if (!ts.isClassDeclaration(node) || !node.name) continue;
    const methods = { instance: new Set(), static: new Set() };
    for (const member of node.members) {
      if (!ts.isMethodDeclaration(member)) continue;
      const isStatic = (ts.getCombinedModifierFlags(member) & ts.ModifierFlags.Static) !== 0;
      methods[isStatic ? 'static' : 'instance'].add(member.name.getText(source));
    }
    classes.set(node.name.text, methods);
  }
  return { classes, diagnostics };
}

test('index.d.ts compiles and declares exactly the exported classes and methods', () => {
  const { classes, diagnostics } = declaredClasses();
  assert.deepStrictEqual(
    diagnostics.map((d) => ts.flattenDiagnosticMessageText(d.messageText, '\n')),
    [],
  );
  assert.deepStrictEqual([...classes.keys()].sort(), Object.keys(lc).sort());
  for (const name of Object.keys(lc)) {
    const ctor = lc[name];
    const instance = Object.getOwnPropertyNames(ctor.prototype).filter((m) => m !== 'constructor');
    const statics = Object.getOwnPropertyNames(ctor).filter(
      (m) => !['length', 'name', 'prototype', 'arguments', 'caller'].includes(m),
    );
    assert.deepStrictEqual([...classes.get(name).instance].sort(), instance.sort(), name);
    assert.deepStrictEqual([...classes.get(name).static].sort(), statics.sort(), name);
  }
});
