'use strict';
// How the addon lives with the process: it never keeps node alive on its own, and environments that go away with
// work outstanding do so cleanly. Each case runs a script in a child node process.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const support = require('./support');

// Runs `script` in a child node (same environment, so the same addon and sanitizer set-up); a child that does not
// end by itself is killed at a generous deadline and reported as such.
function runChild(t, script) {
  const dir = support.scratch(t);
  const child = spawnSync(process.execPath, ['-e', script], {
    cwd: dir,
    env: { ...process.env, SCRATCH: dir, SUPPORT: path.join(__dirname, 'support.js') },
    encoding: 'utf8',
    timeout: 60000,
  });
  const report = `status ${child.status}, signal ${child.signal}\nstdout:\n${child.stdout}\nstderr:\n${child.stderr}`;
  assert.equal(child.error?.code, undefined, `the child did not exit by itself: ${report}`);
  assert.equal(child.status, 0, report);
  return child.stdout.trim().split('\n');
}

test('a process that only loads the addon exits by itself', (t) => {
  assert.deepEqual(runChild(t, `require(process.env.SUPPORT).loadQuillan(); console.log('loaded');`), ['loaded']);
});

test('the process exits by itself once every promise has settled', (t) => {
  const lines = runChild(
    t,
    `
    const s = require(process.env.SUPPORT);
    const Quillan = s.loadQuillan();
    const host = Quillan.AnalyzerHost.getDefault();
    const guid = new Quillan.Guid(s.GATED);
    const { file, open } = s.gate(process.env.SCRATCH);
    Quillan.analyzeFile(s.mediaFile(process.env.SCRATCH), { analyzers: [s.GATED], parameter: file })
      .then((outcome) => console.log('analysed', outcome[0].status));
    s.waitFor(async () => (await host.countJobsForAnalyzer(guid)) === 1, 'the job').then(() => {
      for (let i = 0; i < 20; ++i) host.countJobsForAnalyzer(guid);
      host.waitForAnalyzerCompletion(guid).then((done) => console.log('waited', done));
      open();
    });
    // Nothing below keeps the process alive: once the promises above settle it must end.
    `,
  );
  assert.deepEqual(lines.sort(), ['analysed done', 'waited true']);
});

test('a worker that ends with promises pending leaves the process healthy', (t) => {
  const lines = runChild(
    t,
    `
    const { Worker } = require('node:worker_threads');
    const s = require(process.env.SUPPORT);
    const { file, open } = s.gate(process.env.SCRATCH);
    const worker = new Worker(\`
      const { parentPort, workerData } = require('node:worker_threads');
      const s = require(workerData.support);
      const Quillan = s.loadQuillan();
      const host = Quillan.AnalyzerHost.getDefault();
      const guid = new Quillan.Guid(s.GATED);
      Quillan.analyzeFile(s.mediaFile(workerData.scratch), { analyzers: [s.GATED], parameter: workerData.gate });
      s.waitFor(async () => (await host.countJobsForAnalyzer(guid)) === 1, 'the job').then(() => {
        host.waitForAnalyzerCompletion(guid);
        for (let i = 0; i < 20; ++i) host.countJobsForAnalyzer(guid);
        parentPort.postMessage('running');
      });
    \`, { eval: true, workerData: { support: process.env.SUPPORT, scratch: process.env.SCRATCH, gate: file } });
    worker.on('message', async () => {
      await worker.terminate();
      // The worker's promises settle into an environment that is gone; the main one carries on.
      open();
      const Quillan = s.loadQuillan();
      const host = Quillan.AnalyzerHost.getDefault();
      await s.waitFor(async () => (await host.countJobsForAnalyzer(new Quillan.Guid(s.GATED))) === 0, 'no jobs');
      const outcome = await Quillan.analyzeFile(s.mediaFile(process.env.SCRATCH), { analyzers: [s.GATED] });
      console.log('main', outcome[0].status);
    });
    `,
  );
  assert.deepEqual(lines, ['main done']);
});
