'use strict';
// Quillan.loadAnalyzerModule and Quillan.analyzeFile: starting work from scripts.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const support = require('./support');
const { GATED, FAILING, GATE_FAILURE, FILE_READ, INVALID_ARGUMENT, UNEXPECTED, ANALYZER_NOT_REGISTERED } = support;
const { UNAVAILABLE, codeOf, quillanError } = support;

const Quillan = support.loadQuillan();

test('loadAnalyzerModule reports what the loader says, and loading twice is harmless', (t) => {
  const dir = support.scratch(t);
  const notALibrary = path.join(dir, 'not-a-library.so');
  fs.writeFileSync(notALibrary, 'plain text');
  const cases = [
    { file: path.join(dir, 'missing.so'), reason: /missing\.so.*No such file or directory/ },
    { file: notALibrary, reason: /not-a-library\.so.*(invalid ELF header|file too short)/ },
  ];
  // The loader's failures carry no code of their own.
  for (const { file, reason } of cases) {
    assert.throws(() => Quillan.loadAnalyzerModule(file), (error) => {
      quillanError(UNEXPECTED, /^cannot load analyzer module/i)(error);
      return !(error instanceof TypeError) && reason.test(error.message);
    });
  }
  for (const bad of [undefined, 42, {}, Buffer.from(support.testAnalyzersPath)]) {
    assert.throws(() => Quillan.loadAnalyzerModule(bad), quillanError(INVALID_ARGUMENT, /needs the path/, TypeError));
  }
  // Relative to the working directory, and the module registers its analyzers only once.
  Quillan.loadAnalyzerModule(path.relative(process.cwd(), support.testAnalyzersPath));
});

test('without a list every type-0 analyzer runs, each with its outcome', async (t) => {
  const dir = support.scratch(t);
  // Without a parameter the test analyzers' gates are open: one succeeds, the other fails.
  assert.deepEqual(await Quillan.analyzeFile(support.mediaFile(dir)), [
    { analyzer: GATED, status: 'done' },
    { analyzer: FAILING, status: 'failed', ...codeOf(GATE_FAILURE), message: 'The failing test analyzer failed as asked' },
  ]);
  assert.deepEqual(await Quillan.analyzeFile(support.mediaFile(dir), {}), await Quillan.analyzeFile(support.mediaFile(dir), null));
});

test('requested analyzers come back in order, once each, failures included', async (t) => {
  const dir = support.scratch(t);
  const unknown = 'a3b1c2d4-0000-4000-8000-00000000beef';
  const outcomes = await Quillan.analyzeFile(support.mediaFile(dir), {
    analyzers: [FAILING.toUpperCase(), new Quillan.Guid(GATED), unknown, GATED],
  });
  assert.deepEqual(
    outcomes.map(({ analyzer, status, code, result }) => ({ analyzer, status, code, result })),
    [
      { analyzer: FAILING, status: 'failed', ...codeOf(GATE_FAILURE) },
      { analyzer: GATED, status: 'done', code: undefined, result: undefined },
      { analyzer: unknown, status: 'failed', ...codeOf(ANALYZER_NOT_REGISTERED) },
    ],
  );
  // An analyzer that does not apply (the test analyzers want a text parameter) is refused by the host.
  assert.deepEqual(await Quillan.analyzeFile(support.mediaFile(dir), { analyzers: [GATED], parameter: 5 }), [
    { analyzer: GATED, status: 'failed', ...codeOf(UNAVAILABLE) },
  ]);
  assert.deepEqual(await Quillan.analyzeFile(support.mediaFile(dir), { analyzers: [] }), []);
});

test('malformed arguments throw a TypeError at the call', (t) => {
  const file = support.mediaFile(support.scratch(t));
  const cases = [
    [],
    [42],
    [file, 5],
    [file, { analyzers: GATED }],
    [file, { analyzers: [42] }],
    [file, { analyzers: [{}] }],
    [file, { analyzers: [Quillan.AnalyzerHost.getDefault()] }],
    [file, { parameter: {} }],
    [file, { parameter: [1] }],
    [file, { parameters: 'peaks' }],
    [file, { parameters: [GATED] }],
    [file, { parameters: { [GATED]: {} } }],
  ];
  for (const args of cases) {
    const malformed = quillanError(INVALID_ARGUMENT, /./, TypeError);
    assert.throws(() => Quillan.analyzeFile(...args), malformed, JSON.stringify(args));
  }
});

test('a path with a NUL byte is a TypeError, and nothing is analysed', async (t) => {
  const dir = support.scratch(t);
  const host = Quillan.AnalyzerHost.getDefault();
  const guid = new Quillan.Guid(GATED);
  // The file before the NUL exists, and the shut gate would keep a job of it running where the test can count it.
  const file = support.mediaFile(dir);
  const { file: gateFile, open } = support.gate(dir);
  const paths = [`${file}\0junk`, `${file}\0`, `\0${file}`, Buffer.from(`${file}\0junk`)];
  const nul = /^Quillan\.analyzeFile: the path has a NUL byte at offset \d+; file names cannot hold one$/;
  for (const bad of paths) {
    assert.throws(
      () => Quillan.analyzeFile(bad, { analyzers: [GATED], parameter: gateFile }),
      quillanError(INVALID_ARGUMENT, nul, TypeError),
    );
  }
  assert.equal(await host.countJobsForAnalyzer(guid), 0);
  open();
  // Without the NUL the same file is analysed.
  assert.deepEqual(await Quillan.analyzeFile(file, { analyzers: [GATED], parameter: gateFile }), [
    { analyzer: GATED, status: 'done' },
  ]);
});

test('a file that cannot be admitted rejects with the result code and the system message', async (t) => {
  const dir = support.scratch(t);
  const cases = [
    { file: path.join(dir, 'missing.wav'), message: /missing\.wav: No such file or directory/ },
    { file: dir, message: /Not a regular file/ },
  ];
  for (const { file, message } of cases) {
    await assert.rejects(Quillan.analyzeFile(file, { analyzers: [GATED] }), quillanError(FILE_READ, message));
  }
});

test('paths are bytes: a Buffer names a file that is not valid UTF-8, and a FIFO does not hang', async (t) => {
  const dir = support.scratch(t);
  const name = Buffer.concat([Buffer.from(path.join(dir, 'caf')), Buffer.from([0xe9]), Buffer.from('.bin')]);
  fs.writeFileSync(name, 'latin-1 named content');
  assert.deepEqual(await Quillan.analyzeFile(name, { analyzers: [GATED] }), [{ analyzer: GATED, status: 'done' }]);
  // The same name as a string is another file (U+FFFD in place of the byte), which does not exist.
  await assert.rejects(Quillan.analyzeFile(name.toString(), { analyzers: [GATED] }), (error) => error.code === codeOf(FILE_READ).code && error.result === 0xa0000003);

  const fifo = path.join(dir, 'pipe.bin');
  require('node:child_process').execFileSync('mkfifo', [fifo]);
  await assert.rejects(Quillan.analyzeFile(fifo, { analyzers: [GATED] }), (error) => {
    return error.code === codeOf(FILE_READ).code && error.result === 0xa0000003 && /Not a regular file/.test(error.message);
  });
});
