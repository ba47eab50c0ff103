'use strict';
// Quillan.analyzeFile with the example analyzers: names beside GUIDs, parameters per analyzer, results as the
// analyzers describe them, and result codes as the tool prints them.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const support = require('./support');
const { ILLEGAL_ARGUMENT, ANALYZER_NOT_REGISTERED, codeOf } = support;

const Quillan = support.loadAddon();
Quillan.loadAnalyzerModule(support.exampleAnalyzersPath);

const DIGEST = '5d0c3e71-2a94-4f1b-9e57-610ad42b8801';
const PEAKS = '5d0c3e71-2a94-4f1b-9e57-610ad42b8802';
const LOUDNESS = '5d0c3e71-2a94-4f1b-9e57-610ad42b8803';

// A mono 16-bit WAV file of a 1 kHz sine at half of full scale.
function toneFile(dir, seconds = 1, rate = 48000) {
  const frames = seconds * rate;
  const data = Buffer.alloc(frames * 2);
  for (let i = 0; i < frames; ++i) data.writeInt16LE(Math.round(16383 * Math.sin((2 * Math.PI * 1000 * i) / rate)), i * 2);
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // PCM
  header.writeUInt16LE(1, 22); // mono
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * 2, 28);
  header.writeUInt16LE(2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  const file = path.join(dir, `tone-${seconds}s.wav`);
  fs.writeFileSync(file, Buffer.concat([header, data]));
  return file;
}

test('analyzers by name or GUID resolve with their described values, in the order asked for', async (t) => {
  const file = toneFile(support.scratch(t));
  const outcomes = await Quillan.analyzeFile(file, { analyzers: ['digest', LOUDNESS, new Quillan.Guid(PEAKS), 'digest'] });
  assert.deepEqual(
    outcomes.map(({ analyzer, status }) => [analyzer, status]),
    [[DIGEST, 'done'], [LOUDNESS, 'done'], [PEAKS, 'done']],
  );
  const [digest, loudness, peaks] = outcomes;

  const sha256 = crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
  assert.equal(digest.value.name, 'digest');
  assert.equal(digest.value.fields.sha256, sha256);
  assert.match(digest.summary, new RegExp(sha256));

  // A full-scale 1 kHz sine reads -3.01 LUFS; this one is 6.02 dB below it.
  assert.equal(loudness.value.name, 'loudness');
  assert.equal(loudness.value.units.integrated, 'LUFS');
  assert.ok(Math.abs(loudness.value.fields.integrated - -9.03) < 0.2, `integrated ${loudness.value.fields.integrated}`);
  assert.ok(Math.abs(loudness.value.fields.samplePeak - -6.02) < 0.05, `sample peak ${loudness.value.fields.samplePeak}`);
  assert.equal(loudness.value.units.samplePeak, 'dBFS');
  assert.match(loudness.summary, /LUFS/);

  assert.equal(peaks.value.fields.samplesPerPeak, 256);
  assert.equal(peaks.value.fields.frames, 48000);
  assert.equal(peaks.value.units.sampleRate, 'Hz');
  // Every number with a unit is named in units, and the summary is one line.
  for (const { summary, value } of outcomes) {
    assert.doesNotMatch(summary, /\n/);
    for (const unitPath of Object.keys(value.units)) assert.ok(unitPath.split('.')[0] in value.fields, unitPath);
  }
});

test('parameters go to the analyzer they name; the shared parameter to the others', async (t) => {
  const file = toneFile(support.scratch(t));
  const cases = [
    { options: { analyzers: ['peaks'] }, samplesPerPeak: 256 },
    { options: { analyzers: ['peaks'], parameters: { peaks: '512' } }, samplesPerPeak: 512 },
    { options: { analyzers: ['peaks'], parameters: { [PEAKS]: 1024 } }, samplesPerPeak: 1024 },
    { options: { analyzers: ['peaks'], parameter: '2048', parameters: { peaks: '128' } }, samplesPerPeak: 128 },
    { options: { analyzers: ['peaks'], parameter: 64 }, samplesPerPeak: 64 },
  ];
  for (const { options, samplesPerPeak } of cases) {
    const [peaks] = await Quillan.analyzeFile(file, options);
    assert.equal(peaks.value?.fields.samplesPerPeak, samplesPerPeak, JSON.stringify(options));
  }
  // Without a list, parameters name among every analyzer that runs.
  const all = await Quillan.analyzeFile(file, { parameters: { peaks: '4096' } });
  assert.equal(all.find((outcome) => outcome.analyzer === PEAKS).value.fields.samplesPerPeak, 4096);
  assert.ok(all.length >= 6);
});

test('unknown names are errors listing the known ones; a failed job carries its code as the tool prints it', async (t) => {
  const file = toneFile(support.scratch(t));
  const unknownName = (where) => (error) => {
    assert.ok(error instanceof Error && !(error instanceof TypeError), String(error));
    assert.match(error.message, new RegExp(`${where}.*"loudnes".*known: beats, black, digest, freeze, loudness, peaks, scenes, silence`));
    assert.deepEqual({ code: error.code, result: error.result }, codeOf(ANALYZER_NOT_REGISTERED));
    return true;
  };
  assert.throws(() => Quillan.analyzeFile(file, { analyzers: ['digest', 'loudnes'] }), unknownName('analyzers\\[1\\]'));
  assert.throws(() => Quillan.analyzeFile(file, { parameters: { loudnes: '1' } }), unknownName('parameters'));
  // A known analyzer that is not in this run.
  await assert.rejects(Quillan.analyzeFile(file, { analyzers: ['digest'], parameters: { peaks: '512' } }), (error) => {
    return /"peaks", which is not one of the analyzers of this run/.test(error.message) && error.code === '0xa00f000e';
  });

  const [peaks, digest] = await Quillan.analyzeFile(file, { analyzers: ['peaks', 'digest'], parameters: { peaks: 'many' } });
  assert.equal(peaks.status, 'failed');
  assert.deepEqual({ code: peaks.code, result: peaks.result }, codeOf(ILLEGAL_ARGUMENT));
  assert.equal(peaks.code, '0xa00f000e');
  assert.equal(peaks.result, 0xa00f000e);
  assert.equal(peaks.value, undefined);
  assert.equal(digest.status, 'done');
});

test('examples/scripts/analyze.js prints each result and exits 1 when an analysis fails', (t) => {
  const dir = support.scratch(t);
  const script = path.join(__dirname, '..', '..', 'examples', 'scripts', 'analyze.js');
  const build = path.dirname(path.dirname(support.addonPath));
  const junk = path.join(dir, 'junk.wav');
  fs.writeFileSync(junk, 'not audio');
  const run = (file) =>
    require('node:child_process').spawnSync(process.execPath, [script, file, build], { encoding: 'utf8', timeout: 60000 });

  const good = run(toneFile(dir));
  assert.equal(good.status, 0, good.stderr);
  assert.match(good.stdout, /^loudness: -9\.\d\d LUFS/m);
  assert.match(good.stdout, /^peaks: 1 ch, \d+ peaks of 512 frames/m);
  const bad = run(junk);
  assert.equal(bad.status, 1, bad.stdout + bad.stderr);
  assert.match(bad.stdout, /^loudness: failed \(0xa00f0011\)/m);  // not a media file
  assert.equal(run(path.join(dir, 'missing.wav')).status, 1);
});

test('onProgress hears each job rise to 1 before the promise settles; an AbortSignal stops the jobs', async (t) => {
  const dir = support.scratch(t);
  const file = toneFile(dir, 20);
  const events = [];
  let settled = false;
  const outcomes = await Quillan.analyzeFile(file, {
    analyzers: ['loudness', 'peaks'],
    onProgress: (progress) => events.push({ ...progress, late: settled }),
  });
  settled = true;
  assert.deepEqual(outcomes.map(({ status }) => status), ['done', 'done']);
  for (const analyzer of [LOUDNESS, PEAKS]) {
    const fractions = events.filter((e) => e.analyzer === analyzer).map((e) => e.fraction);
    assert.ok(fractions.length >= 2, `${analyzer}: ${fractions}`);
    assert.ok(fractions.every((f, i) => i === 0 || f > fractions[i - 1]), `${analyzer}: ${fractions}`);
    assert.equal(fractions.at(-1), 1);
  }
  assert.ok(events.every((e) => !e.late));

  // Aborted once it is under way: rejects soon with an AbortError, and the cancelled job stores nothing.
  const aborted = path.join(dir, 'aborted');
  fs.mkdirSync(aborted);
  const long = toneFile(aborted, 60);
  const controller = new AbortController();
  let abortedAt = 0;
  const analysis = Quillan.analyzeFile(long, {
    analyzers: ['loudness'],
    signal: controller.signal,
    onProgress: ({ fraction }) => {
      if (fraction > 0 && !abortedAt) {
        abortedAt = Date.now();
        controller.abort();
      }
    },
  });
  await assert.rejects(analysis, (error) => error.name === 'AbortError' && error.code === '0xa00f0007');
  assert.ok(Date.now() - abortedAt < 200, `${Date.now() - abortedAt} ms`);
  await new Promise((resolve) => setTimeout(resolve, 100));
  assert.deepEqual(fs.readdirSync(aborted), [path.basename(long)]);

  // A signal aborted before the call rejects at once; a malformed option is a TypeError.
  await assert.rejects(Quillan.analyzeFile(file, { signal: AbortSignal.abort() }), { name: 'AbortError' });
  assert.throws(() => Quillan.analyzeFile(file, { signal: {} }), TypeError);
  assert.throws(() => Quillan.analyzeFile(file, { onProgress: 1 }), TypeError);
});
