#!/usr/bin/env bash
# Checks a built package as a user gets it: unpacks it into a temporary root (dpkg-deb -x) and
# runs the unpacked binary: probe, decode of the sample, and a real serve transcription through
# the reference host. Also checks the control fields and that the binary holds no path of this
# machine's source or build trees. Any failure fails the run.
#
#   scripts/check_package.sh dist/quillmor-speech_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
package=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "package check failed: $*" >&2; exit 1; }

dpkg-deb -x "$package" "$root"
binary=$root/usr/bin/quillmor-speech
for file in usr/bin/quillmor-speech usr/lib/quillmor-speech/quillmor-speech-decoder.so \
  usr/lib/quillmor-speech/quillmor-speech-installer.so usr/share/quillmor-speech/catalogue.json \
  usr/share/doc/quillmor-speech/copyright usr/share/doc/quillmor-speech/protocol.md; do
  [ -f "$root/$file" ] || fail "no $file in the package"
done
depends=$(dpkg-deb -f "$package" Depends)
for library in libavformat libavcodec libswresample libcurl libarchive libpocketsphinx libstdc++6 libc6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$package" Recommends)" = pocketsphinx-en-us ] || fail "no Recommends"
if strings "$binary" "$root"/usr/lib/quillmor-speech/*.so | grep -F -e "$PWD" -e /build -e /tmp/; then
  fail "the binary holds paths of the build machine (above)"
fi

# Without a home of its own, the catalogue beside the binary is the only one it can find.
home=$root/home
mkdir -p "$home"
export HOME=$home XDG_DATA_HOME=$home
"$binary" probe >"$root/probe.out" 2>"$root/probe.err" || fail "probe exited $?"
[ ! -s "$root/probe.err" ] || fail "probe wrote to stderr"
python3 - "$root/probe.out" <<'PY'
import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
assert len(lines) == 1, lines
probe = json.loads(lines[0])
assert probe["type"] == "probe" and probe["supported"] is True, probe
assert probe["locales"] == {"en-US": "installed", "zh-CN": "downloadable"}, probe
PY

"$binary" decode samples/sense-and-sensibility.ogg >"$root/sample.pcm" 2>"$root/decode.err" ||
  fail "decode exited $?"
[ ! -s "$root/decode.err" ] || fail "decode wrote to stderr"
bytes=$(stat -c %s "$root/sample.pcm")
# The sample's duration as 16 kHz 16-bit mono, to within 1 %.
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 samples/sense-and-sensibility.ogg)
python3 -c "import sys; b, s = int(sys.argv[1]), float(sys.argv[2]); sys.exit(abs(b - s * 32000) > s * 320)" \
  "$bytes" "$seconds" || fail "decode gave $bytes bytes for $seconds s"

python3 tools/transcribe.py --binary "$binary" --fast --raw samples/sense-and-sensibility.ogg \
  >"$root/serve.out" 2>"$root/serve.err" || fail "the transcription exited $?"
[ ! -s "$root/serve.err" ] || fail "serve wrote to stderr"
python3 - "$root/serve.out" <<'PY'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8").read().splitlines()]
assert events and events[-1] == {"type": "done"}, events[-3:]
finals = " ".join(e["text"] for e in events if e["type"] == "final")
assert len(finals.split()) >= 20, finals
print(f"package: {len(events)} lines, final text: {finals[:120]}…")
PY
echo "package check passed: $package"
