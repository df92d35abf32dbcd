#!/usr/bin/env bash
# Sets up, builds, and transcribes the bundled sample: `decode` turns the Ogg Vorbis file into
# 16 kHz PCM, and tools/transcribe.py streams it through `serve` at real-time pace, printing
# partial and final transcripts as they arrive.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quillmor-speech
echo "== probe"
./build/quillmor-speech probe
echo "== transcribing samples/sense-and-sensibility.ogg (25 s, real-time pace)"
python3 tools/transcribe.py --binary ./build/quillmor-speech "$@" samples/sense-and-sensibility.ogg
