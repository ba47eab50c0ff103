#!/usr/bin/env bash
# Installs the Debian packages the build needs. Silent when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libflatbuffers-dev flatbuffers-compiler
  libboost-dev libboost-thread-dev
  libsqlite3-dev libxxhash-dev
  libre2-dev
  libsndfile1-dev libebur128-dev
  libavformat-dev libavcodec-dev libswresample-dev libswscale-dev libavutil-dev ffmpeg
  libaubio-dev libssl-dev
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev
  libcairo2-dev
  libgoogle-perftools-dev
  libgtest-dev libgmock-dev libbenchmark-dev aubio-tools
  melt python3-jsonschema
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The script binding (quillan.node) and its tests. Checked by command, since node may come from another package that
# ships npm with it.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
    echo "install-deps: missing packages (${missing[*]}) and not root; install them with apt-get" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
if ! { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >/tmp/quillan-install-deps.log 2>&1; then
  echo "install-deps: apt-get could not install ${missing[*]}; see /tmp/quillan-install-deps.log" >&2
  tail -n 20 /tmp/quillan-install-deps.log >&2
  exit 1
fi
