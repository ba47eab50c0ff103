'use strict';
// Quillan.exportEvents with the example analyzers: the document of a real clip's cuts, read back as the format says;
// the export library is opened only once a script exports.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const support = require('./support');

const Quillan = support.loadAddon();

const exportLibraryLoaded = () => fs.readFileSync('/proc/self/maps', 'utf8').includes('libquillan_export.so');

// Three shots of 15, 14 and 16 pictures at 25 per second, hard cut, without sound.
function shotsFile(dir) {
  const file = path.join(dir, 'shots "é".mkv');
  const source = 'size=160x90:rate=25';
  execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', `testsrc2=${source}`, '-f', 'lavfi', '-i',
    `color=c=red:${source}`, '-f', 'lavfi', '-i', `testsrc2=${source}`, '-filter_complex',
    '[0]trim=end_frame=15[a];[1]trim=end_frame=14[b];[2]hflip,negate,trim=end_frame=16[c];[a][b][c]concat=n=3:v=1:a=0',
    '-c:v', 'ffv1', file]);
  return file;
}

test('exportEvents resolves with the document of the file\'s events in each format', async (t) => {
  assert.equal(exportLibraryLoaded(), false);
  Quillan.loadAnalyzerModule(support.exampleAnalyzersPath);
  const file = shotsFile(support.scratch(t));

  const csv = await Quillan.exportEvents(file, 'csv');
  assert.ok(exportLibraryLoaded());
  const rows = csv.trimEnd().split('\n');
  assert.equal(rows[0], 'file,analyzer,kind,start,end,score,frame');
  // The quotes of the name are doubled in a quoted cell; the video has no sound, so silence and beats add nothing.
  assert.deepEqual(rows.slice(1).map((row) => row.replace(/^".*?\.mkv",/, 'FILE,').replace(/,[\d.]+,(\d+)$/, ',S,$1')),
    ['FILE,scenes,cut,0.6,,S,15', 'FILE,scenes,cut,1.16,,S,29']);

  const otio = JSON.parse(await Quillan.exportEvents(file, 'otio', { analyzers: ['scenes'] }));
  const clips = otio.tracks.children[0].children;
  assert.deepEqual(clips.map((clip) => [clip.source_range.start_time.value, clip.source_range.duration.value]),
    [[0, 15], [15, 14], [29, 16]]);
  assert.equal(clips[0].media_references.DEFAULT_MEDIA.target_url.endsWith('/shots%20%22%C3%A9%22.mkv'), true);

  const edl = await Quillan.exportEvents(file, 'edl', { analyzers: ['scenes'] });
  assert.match(edl, /^002  AX +V +C +00:00:00:15 00:00:01:04 01:00:00:15 01:00:01:04$/m);

  await assert.rejects(Quillan.exportEvents(file, 'aaf'), /unknown format "aaf"/);
  assert.throws(() => Quillan.exportEvents(file, 'csv', { analyzers: ['nope'] }), /no analyzer is named "nope"/);
  assert.throws(() => Quillan.exportEvents(file), TypeError);
});
