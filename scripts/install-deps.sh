#!/usr/bin/env bash
# Installs the Debian 12 packages that quillmor-speech needs to build, test and run.
# Idempotent: does nothing when every package is already installed.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake make pkg-config
  # tests and fuzzing; the format and lint checks
  libgtest-dev libgmock-dev clang-14 libclang-rt-14-dev python3 clang-format-14 clang-tidy-14
  # audio layer
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev ffmpeg
  # recognizer, its English model, and recordings used by the tests
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us pocketsphinx-testdata
  # PocketSphinx's own command-line decoder (the peer of the serve benchmark), GNU time and bc for the benchmarks
  pocketsphinx time bc
  # JSON, Unicode text, model download and unpacking
  nlohmann-json3-dev libicu-dev libcurl4-openssl-dev libarchive-dev ca-certificates
  # SHA-256 of downloaded models
  libssl-dev
  # the Debian package: dpkg-shlibdeps computes its Depends, file finds the binaries to scan
  dpkg-dev file
  # the Node.js client and its tests (Node 18 in Debian 12; npm installs its dev dependencies)
  nodejs npm
)

missing=()
for p in "${packages[@]}"; do
  # Some nodejs builds (NodeSource's) carry npm themselves and conflict with Debian's npm.
  if [ "$p" = npm ] && command -v npm >/dev/null; then continue; fi
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq </dev/null
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
