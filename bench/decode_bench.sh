#!/usr/bin/env bash
# Times `quillmor-speech decode F` against the ffmpeg command doing the same conversion
# (`ffmpeg -v error -i F -f s16le -ac 1 -ar 16000 -`) on two generated 10-minute files, in the
# same run: min and median wall time of each, their ratio, and each one's peak RSS. Also checks
# that both outputs have the same length within codec padding. Prints figures; never fails on
# speed.
#
# Usage: bench/decode_bench.sh [path/to/quillmor-speech] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-build/quillmor-speech}
runs=${2:-5}
[[ -x $binary ]] || { echo "no binary at $binary (build first)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "generating fixtures in $work ..."
ffmpeg -nostdin -v error -y -f lavfi -i "aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100:d=600" \
  -c:a libmp3lame -b:a 128k "$work/long.mp3"
ffmpeg -nostdin -v error -y -f lavfi -i "aevalsrc=0.4*sin(2*PI*440*t)+0.05*random(0)|0.3*sin(2*PI*660*t):s=48000:d=600" \
  -c:a flac "$work/long.flac"

# One timed run: prints "seconds peak-kB".
timed() {
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/rss" "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc -l) $(cat "$work/rss")"
}

stats() {  # file of "seconds rss" lines -> "min median max-rss"
  sort -n "$1" | awk '{t[NR]=$1; if ($2>r) r=$2} END {
    m = (NR % 2) ? t[(NR+1)/2] : (t[NR/2] + t[NR/2+1]) / 2; printf "%.3f %.3f %d", t[1], m, r }'
}

# What loading the binary and its shared libraries costs before any audio is touched.
/usr/bin/time -f "%M" -o "$work/rss" "$binary" decode "$work/missing" >/dev/null || true
printf "\nbaseline: quillmor-speech that only loads and refuses a missing file: %.1f MB peak RSS\n" \
  "$(echo "$(cat "$work/rss")/1024" | bc -l)"

printf "\n%-10s %-8s %9s %9s %10s\n" file tool "min s" "median s" "peak RSS"
for f in long.mp3 long.flac; do
  ours_len=$("$binary" decode "$work/$f" | wc -c)
  theirs_len=$(ffmpeg -nostdin -v error -i "$work/$f" -f s16le -ac 1 -ar 16000 - | wc -c)
  : >"$work/ours" ; : >"$work/theirs"
  for ((i = 0; i < runs; i++)); do  # interleaved so that both see the same machine load
    timed "$binary" decode "$work/$f" >>"$work/ours"
    timed ffmpeg -nostdin -v error -i "$work/$f" -f s16le -ac 1 -ar 16000 - >>"$work/theirs"
  done
  read -r omin omed orss <<<"$(stats "$work/ours")"
  read -r tmin tmed trss <<<"$(stats "$work/theirs")"
  printf "%-10s %-8s %9s %9s %7.1f MB\n" "$f" quillmor "$omin" "$omed" "$(echo "$orss/1024" | bc -l)"
  printf "%-10s %-8s %9s %9s %7.1f MB\n" "$f" ffmpeg "$tmin" "$tmed" "$(echo "$trss/1024" | bc -l)"
  printf "%-10s speed-up (ffmpeg / quillmor): min %.2fx, median %.2fx\n" "$f" \
    "$(echo "$tmin/$omin" | bc -l)" "$(echo "$tmed/$omed" | bc -l)"
  diff=$((ours_len - theirs_len))
  printf "%-10s output bytes: quillmor %d, ffmpeg %d, difference %d samples (%s)\n" "$f" \
    "$ours_len" "$theirs_len" "$((diff / 2))" \
    "$( ((diff / 2 <= 2304 && diff / 2 >= -2304)) && echo "within codec padding" || echo "MISMATCH")"
done
