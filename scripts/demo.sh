#!/usr/bin/env bash
# Sets up, builds and runs the main job on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quillmor-speech
./build/quillmor-speech probe
