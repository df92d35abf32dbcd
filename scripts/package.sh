#!/usr/bin/env bash
# Builds the Debian package: dist/quillmor-speech_<version>_amd64.deb (its path is the last line
# printed). A Release build of the program alone (no tests, no GoogleTest), installed under /usr
# by CPack: the binary in /usr/bin, its modules in /usr/lib/quillmor-speech, the catalogue in
# /usr/share/quillmor-speech, the copyright file and the protocol documentation in
# /usr/share/doc/quillmor-speech; Depends comes from dpkg-shlibdeps, and pocketsphinx-en-us is
# recommended.
#
#   scripts/package.sh [build-dir]    (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=${1:-build-package}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  >/dev/null
cmake --build "$dir" -j "$(nproc)" --target quillmor-speech
rm -f "$dir"/quillmor-speech_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
mkdir -p dist
package=$(ls "$dir"/quillmor-speech_*_amd64.deb)
cp "$package" dist/
echo "dist/$(basename "$package")"
