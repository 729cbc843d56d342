'use strict';

// The declarations in index.d.ts must describe what the module really
// exports: every class with its methods, nothing more, nothing less, and the
// same for the promise forms in `promises`. A TypeScript file that uses them
// all must compile under --strict.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const ts = require('typescript');
const lc = require('..');

const file = path.join(__dirname, '..', 'index.d.ts');
const usage = path.join(__dirname, 'types', 'usage.ts');
const subpath = path.join(__dirname, '..', 'promises.d.ts');

// One program for both checks: building it is the slow part.
const program = ts.createProgram([file, subpath, usage], {
  noEmit: true,
  strict: true,
  target: ts.ScriptTarget.ES2022,
  module: ts.ModuleKind.CommonJS,
  moduleResolution: ts.ModuleResolutionKind.Node10,
  types: ['node'],
});

function methodsOf(node, source) {
  const methods = { instance: new Set(), static: new Set() };
  for (const member of node.members) {
    if (!ts.isMethodDeclaration(member)) continue;
    const name = member.name.getText(source);
    if (name.startsWith('[')) continue; // [Symbol.asyncIterator]: checked through its use
    const isStatic = (ts.getCombinedModifierFlags(member) & ts.ModifierFlags.Static) !== 0;
    methods[isStatic ? 'static' : 'instance'].add(name);
  }
  return methods;
}

function declared() {
  const source = program.getSourceFile(file);
  const classes = new Map();
  const namespaces = new Map();
  for (const node of source.statements) {
    if (ts.isClassDeclaration(node) && node.name) classes.set(node.name.text, methodsOf(node, source));
    if (ts.isModuleDeclaration(node) && node.body && ts.isModuleBlock(node.body)) {
      const inner = new Map();
      const functions = new Set();
      for (const s of node.body.statements) {
        if (ts.isClassDeclaration(s) && s.name) inner.set(s.name.text, methodsOf(s, source));
        if (ts.isFunctionDeclaration(s) && s.name) functions.add(s.name.text);
      }
      namespaces.set(node.name.text, { classes: inner, functions });
    }
  }
  return { classes, namespaces };
}

const messages = (diagnostics) =>
  diagnostics.map((d) => {
    const where = d.file ? `${path.basename(d.file.fileName)}:${d.file.getLineAndCharacterOfPosition(d.start).line + 1}: ` : '';
    return where + ts.flattenDiagnosticMessageText(d.messageText, '\n');
  });

function ownMethods(ctor) {
  const instance = Object.getOwnPropertyNames(ctor.prototype).filter(
    (m) => m !== 'constructor' && typeof Object.getOwnPropertyDescriptor(ctor.prototype, m).value === 'function',
  );
  const statics = Object.getOwnPropertyNames(ctor).filter(
    (m) => !['length', 'name', 'prototype', 'arguments', 'caller'].includes(m),
  );
  return { instance, statics };
}

test('index.d.ts compiles and declares exactly the exported classes and methods', () => {
  assert.deepStrictEqual(messages(ts.getPreEmitDiagnostics(program, program.getSourceFile(file))), []);
  const { classes, namespaces } = declared();
  const nativeNames = Object.keys(lc);
  assert.deepStrictEqual([...classes.keys()].sort(), nativeNames.sort());
  for (const name of nativeNames) {
    const { instance, statics } = ownMethods(lc[name]);
    assert.deepStrictEqual([...classes.get(name).instance].sort(), instance.sort(), name);
    assert.deepStrictEqual([...classes.get(name).static].sort(), statics.sort(), name);
  }
  assert.deepStrictEqual([...namespaces.keys()], ['promises']);

  // Every promise form declared is there with exactly its methods, and every
  // one there for a class of this build is declared.
  const { classes: wrappers, functions } = namespaces.get('promises');
  for (const [name, methods] of wrappers) {
    assert.strictEqual(typeof lc.promises[name], 'function', `promises.${name}`);
    if (name === 'LcError') continue;
    const { instance } = ownMethods(lc.promises[name]);
    const inherited = instance.filter((m) => !methods.instance.has(m));
    assert.deepStrictEqual(inherited, [], `promises.${name} declares no ${inherited}`);
    for (const m of methods.instance) {
      assert.strictEqual(typeof lc.promises[name].prototype[m], 'function', `promises.${name}.${m} is not implemented`);
    }
  }
  for (const name of nativeNames) {
    if (name === 'Log') continue; // has no callbacks: no promise form
    assert.ok(wrappers.has(name), `promises.${name} is not declared`);
  }
  for (const f of functions) assert.strictEqual(typeof lc.promises[f], 'function', `promises.${f}`);
});

// The tags a script may name are the rows of the JavaScript model table.
test('RelayTag lists the tags of lib/models.js', () => {
  const source = program.getSourceFile(file);
  const alias = source.statements.find((s) => ts.isTypeAliasDeclaration(s) && s.name.text === 'RelayTag');
  const literals = alias.type.types.filter((t) => ts.isLiteralTypeNode(t)).map((t) => t.literal.text);
  assert.deepStrictEqual(literals, require('../lib/models').TAGS);
});

test('a TypeScript file using every class, callback and promise form compiles with --strict', () => {
  assert.deepStrictEqual(messages(ts.getPreEmitDiagnostics(program, program.getSourceFile(usage))), []);
});

// The ES module entries list their names by hand, at run time and in their
// declarations: both must stay the CommonJS entries' names.
test('the ES module entries export what the CommonJS entries do', async () => {
  const esm = await import('../index.mjs');
  assert.deepStrictEqual(Object.keys(esm).sort(), [...Object.keys(lc), 'default', 'promises', 'logs', 'Show'].sort());
  for (const name of Object.keys(lc)) assert.strictEqual(esm[name], lc[name], name);
  const esmPromises = await import('../promises.mjs');
  assert.deepStrictEqual(Object.keys(esmPromises).sort(), [...Object.keys(lc.promises), 'default'].sort());
  for (const name of Object.keys(lc.promises)) assert.strictEqual(esmPromises[name], lc.promises[name], name);

  const dmts = path.join(__dirname, '..', 'promises.d.mts');
  const esmProgram = ts.createProgram([dmts], { noEmit: true, strict: true, module: ts.ModuleKind.NodeNext,
    moduleResolution: ts.ModuleResolutionKind.NodeNext, types: ['node'] });
  assert.deepStrictEqual(messages(ts.getPreEmitDiagnostics(esmProgram)), []);
  const checker = esmProgram.getTypeChecker();
  const exported = checker.getExportsOfModule(checker.getSymbolAtLocation(esmProgram.getSourceFile(dmts)))
    .map((s) => s.name).filter((n) => n !== 'default').sort();
  const namespace = program.getSourceFile(file).statements.find((s) => ts.isModuleDeclaration(s) && s.name.text === 'promises');
  // Constants count too (`logs`), but not the bases the classes extend.
  const members = namespace.body.statements
    .flatMap((s) => (s.name ? [s.name.text] : s.declarationList ? s.declarationList.declarations.map((d) => d.name.text) : []))
    .filter((n) => !n.endsWith('Base')).sort();
  assert.deepStrictEqual(exported, members);
});

// One declaration per method: every method of every native class is there in
// its promise form, inherited or replaced, at run time and in the
// declarations, so a method added natively cannot be missed in either.
test('every native method is in its promise form and its declared type', () => {
  const checker = program.getTypeChecker();
  const source = program.getSourceFile(file);
  const namespace = source.statements.find((n) => ts.isModuleDeclaration(n) && n.name.text === 'promises');
  const declaredClasses = new Map();
  for (const s of namespace.body.statements) {
    if (ts.isClassDeclaration(s) && s.name) {
      const type = checker.getDeclaredTypeOfSymbol(checker.getSymbolAtLocation(s.name));
      declaredClasses.set(s.name.text, new Set(checker.getPropertiesOfType(type).map((p) => p.name)));
    }
  }
  const missing = [];
  for (const name of Object.keys(lc)) {
    if (name === 'Log') continue; // no callbacks: the native class serves both forms
    const { instance } = ownMethods(lc[name]);
    const promiseForm = lc.promises[name];
    assert.ok(promiseForm.prototype instanceof lc[name], `promises.${name} derives from the native class`);
    for (const m of instance) {
      if (typeof promiseForm.prototype[m] !== 'function') missing.push(`promises.${name}.${m} (run time)`);
      if (!declaredClasses.get(name).has(m)) missing.push(`promises.${name}.${m} (index.d.ts)`);
    }
  }
  assert.deepStrictEqual(missing, []);
  // The replaced methods are exactly the waiting ones and the runs.
  const replaced = Object.fromEntries(Object.keys(lc).filter((n) => n !== 'Log').map((n) => [
    n, ownMethods(lc.promises[n]).instance.filter((m) => typeof lc[n].prototype[m] === 'function').sort(),
  ]));
  for (const [name, methods] of Object.entries(lc.promises.waiting)) {
    assert.deepStrictEqual(replaced[name], Object.keys(methods).sort(), name);
  }
});
