'use strict';
// The package's entry point: quillan.node as the install step built it (scripts/build-addon.js), and the example
// analyzer module of the Quillan installation it was built against.
//
//   const { Quillan, exampleAnalyzers } = require('quillan');
//   Quillan.loadAnalyzerModule(exampleAnalyzers);
const fs = require('node:fs');
const path = require('node:path');

const build = path.join(__dirname, 'build');
const addon = path.join(build, 'quillan.node');
if (!fs.existsSync(addon)) {
  throw new Error(
    `${addon} is missing: the install step builds it against an installed Quillan ` +
      '(run `npm rebuild quillan` with CMAKE_PREFIX_PATH naming Quillan\'s install prefix)',
  );
}

let exampleAnalyzers;
try {
  exampleAnalyzers = fs.readFileSync(path.join(build, 'example-analyzers.path'), 'utf8');
} catch (error) {
  if (error.code !== 'ENOENT') throw error;
}

module.exports = { ...require(addon), exampleAnalyzers };
