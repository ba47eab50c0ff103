'use strict';
// A bad settings file as the binding meets it: each case runs in a node process of its own, with a settings folder
// of its own, so that a crash shows as a signal and the other tests' settings stay as they are.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const support = require('./support');

// Analyses a file with the example module's digest analyzer, by name, and prints how it went as JSON. Names are
// resolved at the call, so a settings problem may throw there as well as reject.
const child = `
const { Quillan } = require(process.env.QUILLAN_NODE_ADDON);
Quillan.loadAnalyzerModule(process.env.QUILLAN_EXAMPLE_ANALYZERS);
Promise.resolve().then(() => Quillan.analyzeFile(process.argv[1], { analyzers: ['digest'] })).then(
  (outcomes) => console.log(JSON.stringify({ outcomes })),
  (error) => console.log(JSON.stringify({ error: { isError: error instanceof Error, message: error.message, code: error.code } })));
`;

function runWithSettings(t, settingsText) {
  const dir = support.scratch(t);
  const config = path.join(dir, 'config');
  fs.mkdirSync(config);
  fs.writeFileSync(path.join(config, 'properties'), settingsText);
  const media = support.mediaFile(dir);
  const run = spawnSync(process.execPath, ['-e', child, media], {
    env: { ...process.env, QUILLAN_CONFIG_DIR: config, QUILLAN_CACHE_DIR: path.join(dir, 'cache') },
    encoding: 'utf8',
    timeout: 60000,
  });
  return { run, settings: path.join(config, 'properties') };
}

test('a settings problem rejects with an Error that names the settings file, and never crashes', async (t) => {
  const cases = [
    { name: 'an entry of the wrong type', text: '[values]\nAnalyzeImportedMediaCacheLocation = "sidecar"\n' },
    { name: 'a dotted key of 100,000 segments', text: `[${Array(100000).fill('a').join('.')}]\nx = 1\n` },
  ];
  for (const c of cases) {
    const { run, settings } = runWithSettings(t, c.text);
    assert.equal(run.signal, null, `${c.name}: the process ended by ${run.signal}; stderr: ${run.stderr}`);
    assert.equal(run.status, 0, `${c.name}: ${run.stderr}`);
    const { error } = JSON.parse(run.stdout);
    assert.ok(error && error.isError, `${c.name}: ${run.stdout}`);
    assert.ok(error.message.includes(settings), `${c.name}: ${error.message}`);
    assert.match(error.code, /^0x[0-9a-f]{8}$/, c.name);
    // The file is reported, never rewritten.
    assert.equal(fs.readFileSync(settings, 'utf8'), c.text, c.name);
  }
});
