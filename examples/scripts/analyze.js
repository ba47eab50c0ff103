#!/usr/bin/env node
'use strict';
// Analyses one media file with the example analyzers (digest, peaks, loudness), waits for their jobs through the
// default analyzer host, as any script can, and prints each result. Shows each job's progress on stderr, and stops
// the jobs on Ctrl-C (exit 130). Exits 1 when an analysis fails.
//
//   node examples/scripts/analyze.js <media file> [<build folder>]
//
// In a checkout it loads quillan.node and the example module from a build folder: the second argument, else
// $QUILLAN_BUILD, else build/default. Installed with the npm package (node_modules/quillan/examples/scripts), it
// loads the package (require('quillan')) and the example module of the Quillan installation the package was built
// against.
const fs = require('node:fs');
const path = require('node:path');

const [file, buildArgument] = process.argv.slice(2);
if (!file) {
  console.error('usage: node analyze.js <media file> [<build folder>]');
  process.exit(2);
}

function load() {
  const root = path.join(__dirname, '..', '..');
  const checkout = fs.existsSync(path.join(root, 'CMakeLists.txt'));
  const build =
    buildArgument ?? process.env.QUILLAN_BUILD ?? (checkout ? path.join(root, 'build', 'default') : undefined);
  if (build === undefined) {
    const { Quillan, exampleAnalyzers } = require(root);
    if (!exampleAnalyzers) throw new Error('the Quillan this package was built against has no example module');
    return { Quillan, exampleAnalyzers };
  }
  const resolved = path.resolve(build);
  const { Quillan } = require(path.join(resolved, 'lib', 'quillan.node'));
  return { Quillan, exampleAnalyzers: path.join(resolved, 'lib', 'libquillan_example_analyzers.so') };
}
const { Quillan, exampleAnalyzers } = load();
Quillan.loadAnalyzerModule(exampleAnalyzers);

// The GUIDs the example module registers these analyzers under; analyzeFile takes the names too.
const analyzers = {
  '5d0c3e71-2a94-4f1b-9e57-610ad42b8801': 'digest',
  '5d0c3e71-2a94-4f1b-9e57-610ad42b8802': 'peaks',
  '5d0c3e71-2a94-4f1b-9e57-610ad42b8803': 'loudness',
};

async function main() {
  const host = Quillan.AnalyzerHost.getDefault();
  // Settles once every job has ended.
  let finished = false;
  const controller = new AbortController();
  process.once('SIGINT', () => controller.abort());
  const analysis = Quillan.analyzeFile(file, {
    analyzers: Object.values(analyzers),
    parameters: { peaks: '512' },
    onProgress: ({ analyzer, fraction }) =>
      process.stderr.write(`  ${analyzers[analyzer]}: ${Math.floor(fraction * 100)}%\n`),
    signal: controller.signal,
  });
  analysis.then(() => {}, () => {}).then(() => (finished = true));

  // Watch the jobs through the host: wait until they show up (or the analysis is already over), then wait for each
  // analyzer's jobs to end.
  const guids = Object.keys(analyzers).map((id) => new Quillan.Guid(id));
  const running = async () => (await Promise.all(guids.map((g) => host.countJobsForAnalyzer(g)))).reduce((a, b) => a + b);
  let jobs = 0;
  while (!finished && (jobs = await running()) === 0) await new Promise((resolve) => setTimeout(resolve, 10));
  if (jobs > 0) {
    console.log(`${jobs} job(s) running`);
    for (const guid of guids) {
      const ended = await host.waitForAnalyzerCompletion(guid).then(
        () => 'no jobs left',
        (error) => `a job failed (${error.code}): ${error.message}`,
      );
      console.log(`  ${analyzers[guid]}: ${ended}`);
    }
  }

  let failed = 0;
  for (const outcome of await analysis) {
    const name = analyzers[outcome.analyzer] ?? outcome.analyzer;
    if (outcome.status === 'done') {
      console.log(`${name}: ${outcome.summary ?? 'done'}`);
    } else {
      ++failed;
      console.log(`${name}: failed (${outcome.code}) ${outcome.message ?? ''}`);
    }
  }
  if (failed > 0) process.exitCode = 1;
}

main().catch((error) => {
  if (error.name === 'AbortError') {
    console.error('interrupted; the jobs were stopped');
    process.exitCode = 130;
    return;
  }
  console.error(`${error.message}${error.code === undefined ? '' : ` (result ${error.code})`}`);
  process.exitCode = 1;
});
