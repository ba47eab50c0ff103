#!/usr/bin/env bash
# Installs a build into a temporary prefix, builds examples/out-of-tree-analyzer against the installed package only,
# and runs its analyzer through the installed quillan tool:
#   scripts/check-out-of-tree.sh [BUILD_FOLDER]     (default build/default; it must have built the quillan tool)
# Exits non-zero with a message naming the first check that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/default}

fail() {
  echo "check-out-of-tree: $*" >&2
  exit 1
}

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build folder"
[ -x "$build/bin/quillan" ] || fail "$build/bin/quillan is missing; build the quillan_cli target first"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillan-out-of-tree.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "== install $build into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "install failed"; }
for f in bin/quillan share/man/man1/quillan.1 share/bash-completion/completions/quillan lib/libquillan.so \
  lib/cmake/Quillan/QuillanConfig.cmake lib/cmake/Quillan/QuillanConfigVersion.cmake \
  include/Analyzers/AnalyzerBase.h include/zelcore/Guid.h; do
  [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
if find "$prefix/include" -name '*_generated.h' | grep -q .; then fail "a generated private header was installed"; fi
# The installed tool must run on the installed libraries, not on those of the build folder.
if ldd "$prefix/bin/quillan" | grep -E 'lib(quillan|zel)' | grep -v -F "$prefix/" >&2; then
  fail "the installed tool loads libraries from outside the prefix"
fi

echo "== the installed script binding loads its libraries from the prefix"
[ -f "$prefix/lib/quillan.node" ] || fail "the install lacks lib/quillan.node"
node -e '
  const { Quillan } = require(process.argv[1]);
  const a = Quillan.AnalyzerHost.getDefault(), b = Quillan.AnalyzerHost.getDefault();
  if (!a.equals(b) || a.hashCode() !== b.hashCode()) process.exit(1);
  a.countJobsForAnalyzer(new Quillan.Guid("2e3b5db4-d422-4d04-af8a-7004912a3fba"))
   .then((n) => process.exit(n === 0 ? 0 : 1), () => process.exit(1));
' "$prefix/lib/quillan.node" || fail "the installed quillan.node does not run"
if ldd "$prefix/lib/quillan.node" | grep -E 'lib(quillan|zel)' | grep -v -F "$prefix/" >&2; then
  fail "the installed script binding loads libraries from outside the prefix"
fi

echo "== every installed header compiles on its own include paths"
(cd "$prefix/include" && find . -name '*.h' ! -name '*-inl.h' | sort | sed 's|^\./\(.*\)|#include "\1"|') >"$work/all.cpp"
"${CXX:-c++}" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I "$prefix/include" -x c++ "$work/all.cpp" ||
  fail "the installed headers do not compile by themselves"

echo "== build examples/out-of-tree-analyzer against the package"
# No launcher, no cache of the tree's own build: the example sees only the prefix.
cmake -S "$root/examples/out-of-tree-analyzer" -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  >"$work/configure.log" || { cat "$work/configure.log" >&2; fail "configuring the example failed"; }
cmake --build "$work/example" >"$work/build.log" || { cat "$work/build.log" >&2; fail "building the example failed"; }
plugin=$work/example/libbyte_histogram.so
[ -f "$plugin" ] || fail "the example built no $plugin"

echo "== run byte-histogram through the installed tool"
media=$work/media
mkdir -p "$media"
# 1 x 00, 4 x 5a, 3 x 61, 2 x ff: bins of 64 byte values hold 1, 7, 0, 2.
printf '\x00ZZZZaaa\xff\xff' >"$media/bytes.bin"
home=$work/home
quillan() { "$prefix/bin/quillan" --cache-dir "$home/cache" --config-dir "$home/config" "$@"; }
analyze() { quillan analyze --no-progress --json --plugin "$plugin" --analyzer byte-histogram "$@"; }

# The value of every "NAME": "text" pair of a JSON text, one a line.
json_strings() { grep -oE "\"$1\" *: *\"[^\"]*\"" | sed -E 's/.*: *"(.*)"/\1/'; }

expect_status() {
  local want=$1 out=$2
  local got
  got=$(json_strings status <"$out" | tr '\n' ' ')
  [ "$got" = "$want " ] || { cat "$out" >&2; fail "expected status $want, got: $got"; }
  grep -q '"byte-histogram"' "$out" || { cat "$out" >&2; fail "the result does not name byte-histogram"; }
  grep -q '2e3b5db4-d422-4d04-af8a-7004912a3fba' "$out" || { cat "$out" >&2; fail "the result lacks the GUID"; }
}

analyze "$media/bytes.bin" >"$work/first.json" || { cat "$work/first.json" >&2; fail "the first analysis failed"; }
expect_status computed "$work/first.json"
analyze "$media/bytes.bin" >"$work/second.json" || fail "the second analysis failed"
expect_status cached "$work/second.json"
analyze --param byte-histogram=4 "$media/bytes.bin" >"$work/bins4.json" || fail "the analysis with 4 bins failed"
expect_status computed "$work/bins4.json"

# The stored bytes, read back from the sidecar beside the media: uint32 bins, then the counts as uint64.
sidecar=$media/bytes.qvmi
[ -f "$sidecar" ] || fail "no sidecar file $sidecar"
quillan sidecar verify "$sidecar" >/dev/null || fail "the sidecar does not verify"
quillan sidecar dump "$sidecar" --json >"$work/dump.json"
source=$(json_strings dataSource <"$work/dump.json" | head -n 1)
[ -n "$source" ] || { cat "$work/dump.json" >&2; fail "the sidecar dump names no data source"; }
# Filed under the content state that the analysis reported for the file.
state=$(json_strings contentState <"$work/first.json")
[ "$source" = "$state" ] || fail "the sidecar item's data source $source is not the file's content state $state"
stored() {
  quillan sidecar get "$sidecar" --analyzer 2e3b5db4-d422-4d04-af8a-7004912a3fba --data-source "$source" \
    --key "$1" -o "$work/value" || fail "sidecar get of $1 failed"
  echo "$(od -An -tu4 -N4 "$work/value") $(od -An -tu8 -j4 -v "$work/value")" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'
}
nonzero() { echo "$1" | awk '{ printf "%s", $1; for (i = 2; i <= NF; ++i) if ($i != 0) printf " %d=%s", i - 2, $i; print "" }'; }
got=$(nonzero "$(stored 2e3b5db4-d422-4d04-af8a-7004912a3fba____histogram)")
[ "$got" = "256 0=1 90=4 97=3 255=2" ] || fail "the default histogram reads '$got'"
got=$(stored 2e3b5db4-d422-4d04-af8a-7004912a3fba__4__histogram)
[ "$got" = "4 1 7 0 2" ] || fail "the 4-bin histogram reads '$got'"

# A bad parameter fails that analysis with the analyzer's own message, and exit code 1.
set +e
analyze --param byte-histogram=3 "$media/bytes.bin" >"$work/bad.json" 2>"$work/bad.err"
code=$?
set -e
[ $code -eq 1 ] || { cat "$work/bad.json" "$work/bad.err" >&2; fail "a bad parameter exited with $code, not 1"; }
expect_status failed "$work/bad.json"
grep -q 'power of two' "$work/bad.json" || { cat "$work/bad.json" >&2; fail "the failure lacks the analyzer's message"; }

echo "check-out-of-tree: all checks passed"
