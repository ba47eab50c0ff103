#!/usr/bin/env bash
# Installs a build into a temporary prefix, checks the installed layout (headers under include/quillan, versioned
# shared libraries, the CMake package and quillan.pc), builds examples/out-of-tree-analyzer against the installed
# package only, once with CMake and once with pkg-config, and runs each build's analyzer through the installed tool:
#   scripts/check-out-of-tree.sh [BUILD_FOLDER]     (default build/package; it must have built the quillan tool)
# Exits non-zero with a message naming the first check that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/package}

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
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "install failed"; }
# GNUInstallDirs chooses the library folder (lib, or lib/<multiarch> under /usr).
libdir=$(dirname "$(find "$prefix" -name libquillan.so.0 -print -quit)")
[ "$libdir" != . ] || fail "the install lacks libquillan.so.0"
lib=${libdir#"$prefix"/}
for f in bin/quillan share/man/man1/quillan.1 share/bash-completion/completions/quillan \
  include/quillan/Analyzers/AnalyzerBase.h include/quillan/Host/AnalyzerHost.h \
  include/quillan/zelcore/Guid.h include/quillan/BE/Media.h include/quillan/Foundation/Future.h \
  "$lib/cmake/Quillan/QuillanConfig.cmake" "$lib/cmake/Quillan/QuillanConfigVersion.cmake" "$lib/pkgconfig/quillan.pc"; do
  [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
# Everything Quillan installs in include/ sits in include/quillan, out of the way of other packages' folders.
others=$(find "$prefix/include" -mindepth 1 -maxdepth 1 ! -name quillan)
[ -z "$others" ] || fail "the install puts folders beside include/quillan: $others"
if find "$prefix/include" -name '*_generated.h' | grep -q .; then fail "a generated private header was installed"; fi

echo "== versioned shared libraries"
export PKG_CONFIG_PATH=$libdir/pkgconfig
version=$(pkg-config --modversion quillan) || fail "pkg-config does not find quillan.pc"
[ "$(pkg-config --variable=prefix quillan)" = "$prefix" ] || fail "quillan.pc names another prefix than $prefix"
soversion=${version%%.*}
libraries=(zelcore zelsqlite zelbe zelmf zelml zelappsupport zelscripting quillan_foundation quillan quillan_example_analyzers
  quillan_example_media quillan_pictures)
for library in "${libraries[@]}"; do
  file=$libdir/lib$library.so.$version
  [ -f "$file" ] && [ ! -L "$file" ] || fail "the install lacks lib$library.so.$version"
  [ "$(readlink "$libdir/lib$library.so.$soversion")" = "lib$library.so.$version" ] ||
    fail "lib$library.so.$soversion does not link to lib$library.so.$version"
  [ "$(readlink "$libdir/lib$library.so")" = "lib$library.so.$soversion" ] ||
    fail "lib$library.so does not link to lib$library.so.$soversion"
  soname=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$library.so.$soversion" ] || fail "lib$library.so.$version has SONAME '$soname'"
done
# Programs record the SONAME, so they keep running on any 0.x.y library of the same SONAME.
needed=$(readelf -d "$prefix/bin/quillan" | sed -n 's/.*(NEEDED).*\[\(lib\(quillan\|zel\)[^]]*\)\]/\1/p' |
  sort | tr '\n' ' ')
echo "$needed" | grep -q "libquillan.so.$soversion " ||
  fail "the installed tool does not need libquillan.so.$soversion: $needed"
if echo "$needed" | grep -qE '\.so '; then fail "the installed tool needs an unversioned library: $needed"; fi
# The installed tool must run on the installed libraries, not on those of the build folder.
if ldd "$prefix/bin/quillan" | grep -E 'lib(quillan|zel)|not found' | grep -v -F "$prefix/" >&2; then
  fail "the installed tool loads libraries from outside the prefix"
fi

echo "== no program or library, installed or in the build folder, looks for libraries in the working folder"
# An empty entry in an RUNPATH or RPATH (a leading, trailing or doubled ':') is the folder the program is run in.
for elf in "$prefix/bin/quillan" "$libdir"/*.so.* "$libdir/quillan.node" "$build/bin/quillan" \
  "$build/$(basename "$libdir")"/*.so.*; do
  [ -L "$elf" ] && continue
  runpath=$(readelf -d "$elf" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  case ":$runpath:" in
    *::*) [ -z "$runpath" ] || fail "$elf searches the working folder for libraries: RUNPATH [$runpath]" ;;
  esac
done

echo "== the installed script binding loads its libraries from the prefix"
[ -f "$libdir/quillan.node" ] || fail "the install lacks quillan.node beside the libraries"
node -e '
  const { Quillan } = require(process.argv[1]);
  const a = Quillan.AnalyzerHost.getDefault(), b = Quillan.AnalyzerHost.getDefault();
  if (!a.equals(b) || a.hashCode() !== b.hashCode()) process.exit(1);
  a.countJobsForAnalyzer(new Quillan.Guid("2e3b5db4-d422-4d04-af8a-7004912a3fba"))
   .then((n) => process.exit(n === 0 ? 0 : 1), () => process.exit(1));
'  "$libdir/quillan.node" || fail "the installed quillan.node does not run"
if ldd "$libdir/quillan.node" | grep -E 'lib(quillan|zel)' | grep -v -F "$prefix/" >&2; then
  fail "the installed script binding loads libraries from outside the prefix"
fi

echo "== every installed header compiles on the include path that both package files give"
(cd "$prefix/include/quillan" && find . -name '*.h' ! -name '*-inl.h' | sort | sed 's|^\./\(.*\)|#include "\1"|') >"$work/all.cpp"
"${CXX:-c++}" -std=c++20 -fsyntax-only -Wall -Wextra -Werror $(pkg-config --cflags quillan) -x c++ "$work/all.cpp" ||
  fail "the installed headers do not compile by themselves"

echo "== build examples/out-of-tree-analyzer against the CMake package"
# No launcher, no cache of the tree's own build: the example sees only the prefix.
cmake -S "$root/examples/out-of-tree-analyzer" -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  >"$work/configure.log" || { cat "$work/configure.log" >&2; fail "configuring the example failed"; }
cmake --build "$work/example" >"$work/build.log" || { cat "$work/build.log" >&2; fail "building the example failed"; }
cmake_plugin=$work/example/libbyte_histogram.so
[ -f "$cmake_plugin" ] || fail "the example built no $cmake_plugin"

echo "== build examples/out-of-tree-analyzer with pkg-config"
mkdir "$work/example-pc"
make -C "$work/example-pc" -f "$root/examples/out-of-tree-analyzer/Makefile" CXXFLAGS="-O2 -Werror" \
  >"$work/build-pc.log" 2>&1 || { cat "$work/build-pc.log" >&2; fail "building the example with pkg-config failed"; }
pc_plugin=$work/example-pc/libbyte_histogram.so
[ -f "$pc_plugin" ] || fail "the pkg-config build made no $pc_plugin"
readelf -d "$pc_plugin" | grep -q "NEEDED.*\[libquillan.so.$soversion\]" ||
  fail "the pkg-config build does not need libquillan.so.$soversion"

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

# A value of the sidecar of the current check_plugin run, as text: the bin count, then the counts.
stored() {
  quillan sidecar get "$sidecar" --analyzer 2e3b5db4-d422-4d04-af8a-7004912a3fba --data-source "$source" \
    --key "$1" -o "$run/value" -y || fail "sidecar get of $1 failed"
  echo "$(od -An -tu4 -N4 "$run/value") $(od -An -tu8 -j4 -v "$run/value")" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'
}
nonzero() { echo "$1" | awk '{ printf "%s", $1; for (i = 2; i <= NF; ++i) if ($i != 0) printf " %d=%s", i - 2, $i; print "" }'; }

# Runs a build's byte-histogram analyzer through the installed tool, with media, settings and caches of its own.
check_plugin() {
  plugin=$1
  run=$work/run-$2
  media=$run/media
  home=$run/home
  mkdir -p "$media"
  # 1 x 00, 4 x 5a, 3 x 61, 2 x ff: bins of 64 byte values hold 1, 7, 0, 2.
  printf '\x00ZZZZaaa\xff\xff' >"$media/bytes.bin"

  analyze "$media/bytes.bin" >"$run/first.json" || { cat "$run/first.json" >&2; fail "the first analysis failed"; }
  expect_status computed "$run/first.json"
  analyze "$media/bytes.bin" >"$run/second.json" || fail "the second analysis failed"
  expect_status cached "$run/second.json"
  analyze --param byte-histogram=4 "$media/bytes.bin" >"$run/bins4.json" || fail "the analysis with 4 bins failed"
  expect_status computed "$run/bins4.json"

  # The stored bytes, read back from the sidecar beside the media: uint32 bins, then the counts as uint64.
  sidecar=$media/bytes.qvmi
  [ -f "$sidecar" ] || fail "no sidecar file $sidecar"
  quillan sidecar verify "$sidecar" >/dev/null || fail "the sidecar does not verify"
  quillan sidecar dump "$sidecar" --json >"$run/dump.json"
  source=$(json_strings dataSource <"$run/dump.json" | head -n 1)
  [ -n "$source" ] || { cat "$run/dump.json" >&2; fail "the sidecar dump names no data source"; }
  # Filed under the content state that the analysis reported for the file.
  state=$(json_strings contentState <"$run/first.json")
  [ "$source" = "$state" ] || fail "the sidecar item's data source $source is not the file's content state $state"
  got=$(nonzero "$(stored 2e3b5db4-d422-4d04-af8a-7004912a3fba____histogram)")
  [ "$got" = "256 0=1 90=4 97=3 255=2" ] || fail "the default histogram reads '$got'"
  got=$(stored 2e3b5db4-d422-4d04-af8a-7004912a3fba__4__histogram)
  [ "$got" = "4 1 7 0 2" ] || fail "the 4-bin histogram reads '$got'"

  # A bad parameter fails that analysis with the analyzer's own message, and exit code 1.
  set +e
  analyze --param byte-histogram=3 "$media/bytes.bin" >"$run/bad.json" 2>"$run/bad.err"
  code=$?
  set -e
  [ $code -eq 1 ] || { cat "$run/bad.json" "$run/bad.err" >&2; fail "a bad parameter exited with $code, not 1"; }
  expect_status failed "$run/bad.json"
  grep -q 'power of two' "$run/bad.json" || { cat "$run/bad.json" >&2; fail "the failure lacks the analyzer's message"; }
}

echo "== run the CMake build of byte-histogram through the installed tool"
check_plugin "$cmake_plugin" cmake
echo "== run the pkg-config build of byte-histogram through the installed tool"
check_plugin "$pc_plugin" pkg-config

echo "check-out-of-tree: all checks passed"
