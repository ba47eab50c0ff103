'use strict';
// What the binding's tests share: the addon and the test analyzer module (paths from ctest), the analyzers'
// fixed GUIDs, scratch folders, gates, and waiting on a condition with a generous deadline.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const addonPath = process.env.QUILLAN_NODE_ADDON;
const testAnalyzersPath = process.env.QUILLAN_TEST_ANALYZERS;
const exampleAnalyzersPath = process.env.QUILLAN_EXAMPLE_ANALYZERS;
const throwingModulePath = process.env.QUILLAN_THROWING_MODULE;
if (!addonPath || !testAnalyzersPath || !exampleAnalyzersPath || !throwingModulePath) {
  throw new Error(
    'QUILLAN_NODE_ADDON, QUILLAN_TEST_ANALYZERS, QUILLAN_EXAMPLE_ANALYZERS and QUILLAN_THROWING_MODULE must name the ' +
      'built addon and modules',
  );
}

// As Tests/Node/TestAnalyzers/GatedAnalyzers.cpp registers them.
const GATED = '3c519a2e-704d-4b8f-a106-2d5e93c41001';
const FAILING = '3c519a2e-704d-4b8f-a106-2d5e93c41002';
const QUIET_FAILING = '3c519a2e-704d-4b8f-a106-2d5e93c41003';
const GATE_FAILURE = 0xa0fe0001;

const UNEXPECTED = 0xa0000001;
const FILE_READ = 0xa0000003;
const INVALID_ARGUMENT = 0xa0000004;
const ANALYZER_NOT_REGISTERED = 0xa00f0008;
const ILLEGAL_ARGUMENT = 0xa00f000e;
const UNAVAILABLE = 0xa00f000f;

// A result code as errors and outcomes carry it: {code: '0xa0000003', result: 0xa0000003}.
function codeOf(code) {
  return { code: `0x${(code >>> 0).toString(16).padStart(8, '0')}`, result: code >>> 0 };
}

// A check for assert.throws and assert.rejects: an Error of `type` (Error by default) with the result code `code`
// and a message that matches `message` (any non-empty one when not given).
function quillanError(code, message = /./, type = Error) {
  return (error) => {
    assert.ok(error instanceof type, `${error} is not a ${type.name}`);
    assert.deepEqual({ code: error.code, result: error.result }, codeOf(code), `the code of ${error}`);
    assert.match(error.message, message);
    return true;
  };
}

// The addon with no analyzer module loaded.
function loadAddon() {
  return require(addonPath).Quillan;
}

function loadQuillan() {
  const Quillan = loadAddon();
  Quillan.loadAnalyzerModule(testAnalyzersPath);
  return Quillan;
}

// A scratch folder, removed when the test ends.
function scratch(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillan-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// A small file to analyse; each call makes another clip.
let fileCount = 0;
function mediaFile(dir) {
  const file = path.join(dir, `media-${++fileCount}.bin`);
  fs.writeFileSync(file, `content ${fileCount}`);
  return file;
}

// A gate the test analyzers wait on: its path is their parameter, and they end once the file exists.
function gate(dir, name = 'gate') {
  const file = path.join(dir, name);
  return { file, open: () => fs.writeFileSync(file, '') };
}

// Resolves once `condition()` (which may be async) is truthy; fails after a generous deadline instead of hanging.
async function waitFor(condition, what, deadlineMs = 20000) {
  const end = Date.now() + deadlineMs;
  for (;;) {
    if (await condition()) return;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
}

// Tracks whether a promise has settled, without handling its outcome for the caller.
function track(promise) {
  const state = { settled: false };
  promise.then(() => (state.settled = true), () => (state.settled = true));
  return state;
}

module.exports = {
  addonPath,
  testAnalyzersPath,
  exampleAnalyzersPath,
  throwingModulePath,
  GATED,
  FAILING,
  QUIET_FAILING,
  GATE_FAILURE,
  UNEXPECTED,
  FILE_READ,
  INVALID_ARGUMENT,
  ANALYZER_NOT_REGISTERED,
  ILLEGAL_ARGUMENT,
  UNAVAILABLE,
  codeOf,
  quillanError,
  loadAddon,
  loadQuillan,
  scratch,
  mediaFile,
  gate,
  waitFor,
  track,
};
