#!/usr/bin/env bash
# `make demo`: builds the quillan tool (optimised), makes sample audio and video clips, analyses them twice (the
# second run is served from the caches), shows where the results went, and the man page and bash completion. Everything lives under build/demo, which
# every run starts afresh; your own settings and cache folders are never touched. DEMO_LONG_SECONDS sets the length
# of the long sample (240).
set -euo pipefail
cd "$(dirname "$0")/.."

demo=build/demo
media=$demo/media
long_seconds=${DEMO_LONG_SECONDS:-240}

bold='' plain=''
if [ -t 1 ]; then bold=$(tput bold 2>/dev/null || true) plain=$(tput sgr0 2>/dev/null || true); fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() {
  printf '%s$ %s%s\n' "$bold" "$*" "$plain"
  "$@"
}
# The tool as the demo runs it: settings and managed cache under build/demo.
quillan() { build/package/bin/quillan --cache-dir "$demo/cache" --config-dir "$demo/config" "$@"; }
# Runs a command and prints how long it took, in seconds.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  elapsed=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }')
  printf '%s(%s s)%s\n' "$bold" "$elapsed" "$plain"
}

scripts/install-deps.sh

step "Building the quillan tool, its man page and bash completion (optimised: CMake preset 'package', in build/package)"
cmake --preset package >/dev/null
cmake --build --preset package -j "$(nproc)" --target quillan_cli quillan_manual quillan_make_samples \
  quillan_example_analyzers quillan_example_media

step "Making sample audio and video clips (with known cuts and silences) in $media"
rm -rf "$demo"
build/package/bin/quillan_make_samples --demo "$media" --long-seconds "$long_seconds" >/dev/null
ls -lh "$media" | tail -n +2
files=("$media"/*.wav "$media"/*.flac "$media"/*.mp4 "$media"/*.mkv)

echo "Below, 'quillan' stands for: build/package/bin/quillan --cache-dir $demo/cache --config-dir $demo/config"

step "The analyzers of the example module, and the settings of their parameters (--param)"
show quillan analyzers

step "First run: every analyzer computes its result (a progress bar per running job)"
timed show quillan analyze "${files[@]}"
first=$elapsed

step "Second run: the same request, served from the caches"
timed show quillan analyze "${files[@]}"
second=$elapsed

step "A clip's cuts, silences and loudness in full (JSON); cuts fall every 2 s, silences in the 2nd and 5th shots"
show quillan analyze --no-progress --json --analyzer scenes --analyzer silence --param silence=min=0.5 \
  --analyzer loudness "$media/cuts-mpeg4-aac.mp4"
echo

step "Where the results are: a sidecar file beside each media file"
ls -l "$media" | tail -n +2
show quillan sidecar dump "$media/tone-440-mono.qvmi"

step "With the managed cache as the location, a new result goes to the managed cache instead"
show quillan analyze --cache-location managed --analyzer peaks --param peaks=1024 "$media/tone-440-mono.wav"
show quillan cache path
show quillan cache stats

step "Pictures: the peak envelope as a waveform, the scenes as a contact strip (from the results above)"
show quillan waveform "$media/tones-stereo.wav" -o "$demo/waveform.png" -y --scale dbfs
show quillan waveform "$media/tones-stereo.wav" -o "$demo/waveform.json" -y --format json --width 800
show quillan scenes "$media/cuts-mpeg4-aac.mp4" -o "$demo/scenes.png" -y

man_page=build/package/share/man/man1/quillan.1
completion=build/package/share/bash-completion/completions/quillan
step "The man page and the bash completion, written by the build from the tool's own command line"
ls -l "$man_page" "$completion"
if command -v man >/dev/null; then
  echo "The start of its list of analyzers and their parameters:"
  MANWIDTH=100 man -l "$man_page" 2>/dev/null | sed -n '/^ANALYZERS/,/^EXIT STATUS/p' | head -n 14 || true
fi
echo "What the completion offers after 'quillan analyze --analyzer ' and 'quillan analyze -p s':"
for line in "quillan analyze --analyzer ''" "quillan analyze -p s"; do
  QUILLAN_CONFIG_DIR="$demo/config" QUILLAN_CACHE_DIR="$demo/cache" bash -c "source $completion
    COMP_WORDS=($line); COMP_CWORD=\$((\${#COMP_WORDS[@]} - 1)); COMP_WORDS[0]=build/package/bin/quillan
    _quillan; echo \"  \${COMPREPLY[*]}\""
done

step "Done"
echo "First run ${first} s, second run ${second} s (from the caches)."
echo "Pictures: $demo/waveform.png (and its data, $demo/waveform.json) and $demo/scenes.png"
echo "Try it yourself:  build/package/bin/quillan --help"
echo "Read the man page: man -l $man_page"
echo "Complete commands, analyzers and settings in bash: source $completion (it completes a 'quillan' on your PATH)"
echo "The demo's settings and managed cache are under $demo; it starts afresh on every run."
