#!/usr/bin/env node
'use strict';
// The npm package's install step: builds quillan.node into build/ with CMake, against an installed Quillan (found by
// find_package: CMAKE_PREFIX_PATH, Quillan_ROOT or the system prefixes) and the Node-API headers of the npm packages
// node-api-headers and node-addon-api. It downloads nothing: the headers come with those packages, and node itself
// provides the napi_* functions when the addon is loaded.
//
// QUILLAN_ADDON_BUILD_TYPE picks the CMake build type (default Release).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
// In a checkout, the tree's own CMake build makes quillan.node (build/<preset>/lib/quillan.node); `npm ci` there only
// fetches the headers.
if (fs.existsSync(path.join(root, 'CMakePresets.json'))) {
  console.log('quillan: a checkout; `cmake --preset default && cmake --build --preset default` builds quillan.node');
  process.exit(0);
}

function run(command, args) {
  const result = spawnSync(command, args, { stdio: 'inherit' });
  if (result.error) {
    console.error(`quillan: cannot run ${command}: ${result.error.message}`);
    process.exit(1);
  }
  if (result.status !== 0) {
    console.error(`quillan: ${command} ${args[0]} failed (exit ${result.status ?? result.signal})`);
    process.exit(1);
  }
}

const { version } = require(path.join(root, 'package.json'));
const nodeApiHeaders = require('node-api-headers').include_dir;
const nodeAddonApi = path.dirname(require.resolve('node-addon-api'));
const build = path.join(root, 'build');
fs.rmSync(build, { recursive: true, force: true });

run('cmake', [
  '-S', path.join(root, 'Tools', 'Node', 'Package'),
  '-B', build,
  `-DCMAKE_BUILD_TYPE=${process.env.QUILLAN_ADDON_BUILD_TYPE || 'Release'}`,
  `-DQUILLAN_VERSION=${version}`,
  `-DNODE_API_HEADERS=${nodeApiHeaders}`,
  `-DNODE_ADDON_API=${nodeAddonApi}`,
]);
run('cmake', ['--build', build, '--parallel', String(os.availableParallelism())]);
