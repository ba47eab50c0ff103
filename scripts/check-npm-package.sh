#!/usr/bin/env bash
# The npm package as a user gets it: installs a build of Quillan into a temporary prefix, packs the package
# (`npm pack`), installs the tarball into an empty folder (its install step builds quillan.node against that prefix),
# and runs examples/scripts/analyze.js from the installed package on a WAV file:
#   scripts/check-npm-package.sh BUILD_FOLDER SAMPLE_WRITER      (SAMPLE_WRITER: the build's quillan_make_samples)
# The package's dependencies come from npm's cache when it has them (--prefer-offline). Exits non-zero with a
# message naming the first check that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$1
samples=$2

fail() {
  echo "check-npm-package: $*" >&2
  exit 1
}
# Prints a step's log when it failed.
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    cat "$log" >&2
    return 1
  }
}

work=$(mktemp -d "${TMPDIR:-/tmp}/quillan-npm-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "== install $build into a temporary prefix"
logged "$work/install.log" cmake --install "$build" --prefix "$prefix" || fail "installing $build failed"

echo "== npm pack"
logged "$work/pack.log" npm pack --ignore-scripts --pack-destination "$work" --loglevel=error || fail "npm pack failed"
tarball=$(find "$work" -maxdepth 1 -name 'quillan-*.tgz')
[ -f "$tarball" ] || fail "npm pack made no quillan-*.tgz"
tar -tzf "$tarball" | sed 's|^package/||' | sort >"$work/contents"
# What package.json names must be in the tarball; the type declarations only once the tree has them.
entries=(package.json LICENSE README.md CHANGELOG.md scripts/build-addon.js Tools/Node/Addon.cmake
  Tools/Node/Package/CMakeLists.txt Tools/Node/Addon.cpp examples/scripts/analyze.js docs/scripting.md
  "$(node -p 'require("./package.json").main')")
[ -f quillan.d.ts ] && entries+=("$(node -p 'require("./package.json").types')")
for f in "${entries[@]}"; do
  grep -qxF "$f" "$work/contents" || { cat "$work/contents" >&2; fail "the tarball lacks $f"; }
done
if grep -E '^(build|node_modules|Tests|Src|Platform)/' "$work/contents" >&2; then
  fail "the tarball holds files of the build or the tree that users do not need"
fi

echo "== npm install the tarball into an empty folder"
app=$work/app
mkdir "$app"
# Only the prefix offers Quillan's CMake package; the tree's own build is out of reach.
(cd "$app" && CMAKE_PREFIX_PATH=$prefix logged "$work/npm-install.log" \
  npm install --prefer-offline --no-audit --no-fund --loglevel=error "$tarball") ||
  fail "npm install of the tarball failed"
addon=$app/node_modules/quillan/build/quillan.node
[ -f "$addon" ] || fail "the install step built no $addon"
if ldd "$addon" | grep -E 'lib(quillan|zel)' | grep -v -F "$prefix/" >&2; then
  fail "the package's quillan.node loads libraries from outside the prefix"
fi

echo "== run analyze.js from the installed package"
"$samples" --signal tone --seconds 2 "$work/tone.wav" >/dev/null || fail "writing the sample WAV failed"
export QUILLAN_CONFIG_DIR=$work/home/config QUILLAN_CACHE_DIR=$work/home/cache
(cd "$app" && node node_modules/quillan/examples/scripts/analyze.js "$work/tone.wav") >"$work/analyze.out" 2>&1 ||
  { cat "$work/analyze.out" >&2; fail "analyze.js failed"; }
# Each analyzer's described result: the digest's hex, the peaks' envelope, the tone's loudness.
for line in 'digest: sha256 [0-9a-f]{64}' 'peaks: 1 ch, [0-9]+ peaks of 512 frames' 'loudness: -?[0-9.]+ LUFS'; do
  grep -qE "^$line" "$work/analyze.out" || { cat "$work/analyze.out" >&2; fail "no line '$line' from analyze.js"; }
done
# A user's script finds the package by name, and with it the example module of the prefix.
(cd "$app" && node -e '
  const { Quillan, exampleAnalyzers } = require("quillan");
  if (typeof Quillan.analyzeFile !== "function") throw new Error("no Quillan.analyzeFile");
  if (!exampleAnalyzers.startsWith(process.argv[1] + "/")) throw new Error(`example module ${exampleAnalyzers}`);
' "$prefix") || fail "require(\"quillan\") from the installing folder failed"
echo "check-npm-package: all checks passed"
