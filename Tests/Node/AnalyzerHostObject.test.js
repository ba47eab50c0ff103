'use strict';
// The AnalyzerHost and Guid script classes as scripts see them through quillan.node.
const test = require('node:test');
const assert = require('node:assert/strict');
const support = require('./support');
const { GATED, FAILING, QUIET_FAILING, GATE_FAILURE, INVALID_ARGUMENT, UNEXPECTED, codeOf, quillanError } = support;
const { loadQuillan, scratch, mediaFile, gate, waitFor, track } = support;

const Quillan = loadQuillan();
const NULL_GUID = '00000000-0000-0000-0000-000000000000';
const IDLE = 'a3b1c2d4-0000-4000-8000-00000000d1e0';

const count = (host, id) => host.countJobsForAnalyzer(new Quillan.Guid(id));
const countIs = (host, id, n) => async () => (await count(host, id)) === n;

test('getDefault gives distinct objects that are the same host, with equal hashes', () => {
  const a = Quillan.AnalyzerHost.getDefault();
  const b = Quillan.AnalyzerHost.getDefault();
  assert.ok(a instanceof Quillan.AnalyzerHost);
  assert.notStrictEqual(a, b);
  assert.ok(a.equals(b) && b.equals(a));
  assert.equal(typeof a.hashCode(), 'bigint');
  assert.equal(a.hashCode(), b.hashCode());

  // An unbound object stands for no host; equals is false for anything that is not the same host.
  const unbound = new Quillan.AnalyzerHost();
  assert.ok(!a.equals(unbound) && !unbound.equals(a));
  const guid = new Quillan.Guid(GATED);
  for (const other of [guid, {}, null, undefined, 'text', a.hashCode()]) assert.equal(a.equals(other), false);

  // GUID objects are the same when their GUIDs are, whatever the text's case and braces.
  const same = new Quillan.Guid(`{${GATED.toUpperCase()}}`);
  assert.ok(guid.equals(same));
  assert.equal(guid.hashCode(), same.hashCode());
  assert.equal(String(same), GATED);
  assert.ok(!guid.equals(new Quillan.Guid(FAILING)));

  // Identity methods need an object of these classes as `this`.
  const notThis = quillanError(INVALID_ARGUMENT, /needs a/, TypeError);
  assert.throws(() => Quillan.AnalyzerHost.prototype.hashCode.call({}), notThis);
  assert.throws(() => Quillan.AnalyzerHost.prototype.countJobsForAnalyzer.call(guid, guid), notThis);
});

test('a missing or null GUID is a type-14 error, anything but a GUID object a TypeError', () => {
  const host = Quillan.AnalyzerHost.getDefault();
  const unbound = new Quillan.AnalyzerHost();
  const cases = [
    { args: [], type: 14 },
    { args: [undefined], type: 14 },
    { args: [null], type: 14 },
    { args: [new Quillan.Guid(NULL_GUID)], type: 14 },
    { args: [GATED], typeError: true },
    { args: [host], typeError: true },
    { args: [42], typeError: true },
    { args: [{}], typeError: true },
    { args: [[new Quillan.Guid(GATED)]], typeError: true },
  ];
  for (const method of ['countJobsForAnalyzer', 'waitForAnalyzerCompletion']) {
    // The argument is checked before the host, so an unbound object reports the same errors.
    for (const target of [host, unbound]) {
      for (const { args, type, typeError } of cases) {
        const what = `${method}(${args.map(String).join(', ')})`;
        assert.throws(
          () => target[method](...args),
          (error) => {
            quillanError(INVALID_ARGUMENT, /./, typeError ? TypeError : Error)(error);
            return typeError ? error instanceof TypeError : !(error instanceof TypeError) && error.type === type;
          },
          what,
        );
      }
    }
    assert.throws(() => unbound[method](new Quillan.Guid(GATED)), (error) => {
      quillanError(UNEXPECTED, /^The script object is no longer valid\.$/)(error);
      return !(error instanceof TypeError) && error.type === 0;
    });
  }
  assert.throws(() => new Quillan.Guid('not a guid'), quillanError(INVALID_ARGUMENT, /./, TypeError));
  assert.throws(() => new Quillan.Guid(), quillanError(INVALID_ARGUMENT, /./, TypeError));
});

test('an idle analyzer has no jobs and is waited for at once', async () => {
  const host = Quillan.AnalyzerHost.getDefault();
  assert.equal(await count(host, IDLE), 0);
  assert.equal(await host.waitForAnalyzerCompletion(new Quillan.Guid(IDLE)), true);
  // Objects made by the static method work the same as any other.
  assert.equal(await count(Quillan.AnalyzerHost.getDefault(), IDLE), 0);
});

test('countJobsForAnalyzer counts running jobs, and the wait resolves only after they end', async (t) => {
  const dir = scratch(t);
  const host = Quillan.AnalyzerHost.getDefault();
  const { file, open } = gate(dir);
  const analyses = [1, 2, 3].map(() =>
    Quillan.analyzeFile(mediaFile(dir), { analyzers: [GATED], parameter: file }),
  );
  await waitFor(countIs(host, GATED, 3), 'three running jobs');
  // Jobs of other analyzers are not counted.
  assert.equal(await count(host, FAILING), 0);

  const wait = host.waitForAnalyzerCompletion(new Quillan.Guid(GATED));
  const waited = track(wait);
  // The gate is shut, so nothing can have ended: the wait must still be pending after a round trip to the host.
  assert.equal(await count(host, GATED), 3);
  assert.equal(waited.settled, false);

  open();
  assert.equal(await wait, true);
  for (const outcome of await Promise.all(analyses)) {
    assert.deepEqual(outcome, [{ analyzer: GATED, status: 'done' }]);
  }
  await waitFor(countIs(host, GATED, 0), 'the jobs to be gone');
});

test('a failing job rejects the wait with an Error of its message (or what its code means) and code', async (t) => {
  // The job's code is negative as a signed 32-bit number, which the runtime hands over without its message.
  const cases = [
    { analyzer: FAILING, message: 'The failing test analyzer failed as asked', said: true },
    { analyzer: QUIET_FAILING, message: 'Failed with result 0xa0fe0001', said: false },
  ];
  for (const { analyzer, message, said } of cases) {
    const dir = scratch(t);
    const host = Quillan.AnalyzerHost.getDefault();
    const { file, open } = gate(dir);
    const analysis = Quillan.analyzeFile(mediaFile(dir), { analyzers: [new Quillan.Guid(analyzer)], parameter: file });
    await waitFor(countIs(host, analyzer, 1), 'the failing job to run');

    const wait = host.waitForAnalyzerCompletion(new Quillan.Guid(analyzer));
    open();
    await assert.rejects(wait, quillanError(GATE_FAILURE, new RegExp(`^${message}$`)));
    // An outcome only has the message the job said.
    const outcome = { analyzer, status: 'failed', ...codeOf(GATE_FAILURE), ...(said ? { message } : {}) };
    assert.deepEqual(await analysis, [outcome]);
    await waitFor(countIs(host, analyzer, 0), 'the failed job to be gone');
  }
});

test('200 concurrent promises all settle', async (t) => {
  const dir = scratch(t);
  const host = Quillan.AnalyzerHost.getDefault();
  const { file, open } = gate(dir);
  const analysis = Quillan.analyzeFile(mediaFile(dir), { analyzers: [GATED], parameter: file });
  await waitFor(countIs(host, GATED, 1), 'the job to run');

  const guid = new Quillan.Guid(GATED);
  const promises = [];
  for (let i = 0; i < 200; ++i) {
    promises.push(i % 2 === 0 ? host.countJobsForAnalyzer(guid) : host.waitForAnalyzerCompletion(guid));
  }
  const counts = await Promise.all(promises.filter((_, i) => i % 2 === 0));
  assert.deepEqual(counts, new Array(100).fill(1));
  open();
  const waits = await Promise.all(promises);
  assert.deepEqual(waits.filter((_, i) => i % 2 === 1), new Array(100).fill(true));
  await analysis;
  await waitFor(countIs(host, GATED, 0), 'the job to be gone');
});
