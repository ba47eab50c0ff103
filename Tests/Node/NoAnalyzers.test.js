'use strict';
// The binding before any analyzer is registered, a module whose registration throws, and the declarations of
// quillan.d.ts against what the addon publishes.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const support = require('./support');

const Quillan = support.loadAddon();

const noAnalyzer = (error) =>
  error instanceof Error &&
  /No analyzer is registered: load a module with Quillan.loadAnalyzerModule/.test(error.message) &&
  error.code === '0xa00f0008' &&
  error.result === 0xa00f0008;

test('with no analyzer registered, analyzeFile rejects instead of resolving to []', async (t) => {
  const file = support.mediaFile(support.scratch(t));
  await assert.rejects(Quillan.analyzeFile(file), noAnalyzer);
  await assert.rejects(Quillan.analyzeFile(file, { parameter: 'x' }), noAnalyzer);
  // An empty list asked for is an empty answer.
  assert.deepEqual(await Quillan.analyzeFile(file, { analyzers: [] }), []);
  assert.throws(() => Quillan.analyzeFile(file, { analyzers: ['digest'] }), /no analyzer is named "digest" \(known: none\)/);
});

test('a module path with a NUL byte is a TypeError, and nothing is loaded', (t) => {
  const loaded = () => fs.readFileSync('/proc/self/maps', 'utf8').includes(support.exampleAnalyzersPath);
  assert.equal(loaded(), false);
  for (const bad of [`${support.exampleAnalyzersPath}\0junk`, `${support.exampleAnalyzersPath}\0`]) {
    assert.throws(
      () => Quillan.loadAnalyzerModule(bad),
      support.quillanError(support.INVALID_ARGUMENT, /^Quillan\.loadAnalyzerModule: the path has a NUL byte/, TypeError),
    );
  }
  assert.equal(loaded(), false);
  const file = support.mediaFile(support.scratch(t));
  assert.throws(() => Quillan.analyzeFile(file, { analyzers: ['digest'] }), /no analyzer is named "digest"/);
});

test('a module whose entry point throws fails to load with its message and registers nothing', async (t) => {
  for (let attempt = 0; attempt < 2; ++attempt) {
    assert.throws(
      () => Quillan.loadAnalyzerModule(support.throwingModulePath),
      support.quillanError(support.UNEXPECTED, /refuses to register: its licence file is missing/),
    );
  }
  await assert.rejects(Quillan.analyzeFile(support.mediaFile(support.scratch(t))), noAnalyzer);
  // The binding goes on working: a good module loads after the bad one.
  Quillan.loadAnalyzerModule(support.testAnalyzersPath);
  const outcomes = await Quillan.analyzeFile(support.mediaFile(support.scratch(t)), { analyzers: ['gated test analyzer'] });
  assert.deepEqual(outcomes, [{ analyzer: support.GATED, status: 'done' }]);
});

test('quillan.d.ts declares exactly what the addon publishes', () => {
  const declarations = fs.readFileSync(path.join(__dirname, '..', '..', 'quillan.d.ts'), 'utf8');
  const body = declarations.slice(declarations.indexOf('export declare namespace Quillan {'));
  // Members at the namespace's own indentation, and each class's members one level in.
  const functions = [...body.matchAll(/^  function (\w+)\(/gm)].map((m) => m[1]);
  const classes = [...body.matchAll(/^  class (\w+) \{([\s\S]*?)^  \}/gm)].map(([, name, members]) => ({
    name,
    statics: [...members.matchAll(/^    static (\w+)\(/gm)].map((m) => m[1]),
    methods: [...members.matchAll(/^    (\w+)\(/gm)].map((m) => m[1]),
  }));
  assert.deepEqual(functions.sort(), ['analyzeFile', 'exportEvents', 'loadAnalyzerModule']);
  assert.deepEqual(classes.map((c) => c.name).sort(), ['AnalyzerHost', 'Guid']);
  assert.deepEqual(
    Object.keys(Quillan).sort(),
    [...functions, ...classes.map((c) => c.name)].sort(),
    'every published name is declared, and every declared one published',
  );
  for (const name of functions) assert.equal(typeof Quillan[name], 'function', name);
  for (const { name, statics, methods } of classes) {
    assert.equal(typeof Quillan[name], 'function', name);
    for (const method of statics) assert.equal(typeof Quillan[name][method], 'function', `${name}.${method}`);
    for (const method of methods.filter((m) => m !== 'constructor')) {
      assert.equal(typeof Quillan[name].prototype[method], 'function', `${name}.prototype.${method}`);
    }
    const published = Object.getOwnPropertyNames(Quillan[name].prototype).filter((m) => m !== 'constructor');
    const declared = methods.filter((m) => m !== 'constructor');
    assert.deepEqual(published.sort(), declared.sort(), `${name}'s methods`);
  }
});
