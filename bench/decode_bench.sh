#!/usr/bin/env bash
# Times `quillmor-speech decode F` against the ffmpeg command doing the same conversion
# (`ffmpeg -v error -i F -f s16le -ac 1 -ar 16000 -`) on six generated files of the common
# formats (a two-tone stereo signal with a little noise), in the same run: min and median wall
# time of each, their ratio, and each one's peak RSS (GNU time). Also checks that both outputs
# have the same length within codec padding. Prints figures; never fails on speed.
#
# Usage: bench/decode_bench.sh [path/to/quillmor-speech] [runs] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-build/quillmor-speech}
runs=${2:-5}
seconds=${3:-300}
[[ -x $binary ]] || { echo "no binary at $binary (build first)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "generating ${seconds}-second fixtures in $work ..."
signal() {  # two tones, a little noise on the left, at the given rate
  echo "aevalsrc=0.4*sin(2*PI*440*t)+0.05*random(0)|0.3*sin(2*PI*660*t):s=$1:d=$seconds"
}
make_fixture() {  # name rate codec arguments...
  local name=$1 rate=$2
  shift 2
  ffmpeg -nostdin -v error -y -f lavfi -i "$(signal "$rate")" "$@" "$work/$name"
}
make_fixture wav16-44k.wav 44100 -c:a pcm_s16le
make_fixture flac-48k.flac 48000 -c:a flac
make_fixture mp3-44k.mp3 44100 -c:a libmp3lame -b:a 128k
make_fixture vorbis-44k.ogg 44100 -c:a libvorbis
make_fixture opus-48k.opus 48000 -c:a libopus -b:a 64k
make_fixture aac-44k.m4a 44100 -c:a aac

# One timed run: prints "seconds peak-kB".
timed() {
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/rss" "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc -l) $(tail -n 1 "$work/rss")"
}

stats() {  # file of "seconds rss" lines -> "min median max-rss"
  sort -n "$1" | awk '{t[NR]=$1; if ($2>r) r=$2} END {
    m = (NR % 2) ? t[(NR+1)/2] : (t[NR/2] + t[NR/2+1]) / 2; printf "%.3f %.3f %d", t[1], m, r }'
}

# What loading the binary and its shared libraries costs before any audio is touched.
/usr/bin/time -f "%M" -o "$work/rss" "$binary" decode "$work/missing" >/dev/null || true
printf "\nbaseline: quillmor-speech that only loads and refuses a missing file: %.1f MB peak RSS\n" \
  "$(echo "$(tail -n 1 "$work/rss")/1024" | bc -l)"
echo "runs per command: $runs, interleaved; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

printf "\n%-16s %8s %8s %8s %8s %7s %7s %9s %9s  %s\n" file "ours min" "ours med" \
  "ffm min" "ffm med" "x min" "x med" "ours RSS" "ffm RSS" "output length"
for f in wav16-44k.wav flac-48k.flac mp3-44k.mp3 vorbis-44k.ogg opus-48k.opus aac-44k.m4a; do
  ours_len=$("$binary" decode "$work/$f" | wc -c)
  theirs_len=$(ffmpeg -nostdin -v error -i "$work/$f" -f s16le -ac 1 -ar 16000 - | wc -c)
  : >"$work/ours"
  : >"$work/theirs"
  for ((i = 0; i < runs; i++)); do  # interleaved so that both see the same machine load
    timed "$binary" decode "$work/$f" >>"$work/ours"
    timed ffmpeg -nostdin -v error -i "$work/$f" -f s16le -ac 1 -ar 16000 - >>"$work/theirs"
  done
  read -r omin omed orss <<<"$(stats "$work/ours")"
  read -r tmin tmed trss <<<"$(stats "$work/theirs")"
  diff=$(((ours_len - theirs_len) / 2))
  if ((diff <= 2304 && diff >= -2304)); then verdict="match"; else verdict="MISMATCH"; fi
  printf "%-16s %8s %8s %8s %8s %6.2fx %6.2fx %6.1f MB %6.1f MB  %s (%d vs %d samples, %+d)\n" \
    "$f" "$omin" "$omed" "$tmin" "$tmed" "$(echo "$tmin/$omin" | bc -l)" \
    "$(echo "$tmed/$omed" | bc -l)" "$(echo "$orss/1024" | bc -l)" \
    "$(echo "$trss/1024" | bc -l)" "$verdict" "$((ours_len / 2))" "$((theirs_len / 2))" "$diff"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "x = ffmpeg time / quillmor time (above 1: quillmor is faster); RSS is the peak over the runs"
