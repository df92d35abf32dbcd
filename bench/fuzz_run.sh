#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz/ and runs each one for a set
# time, then prints per target: executions, executions per second, coverage (cov and ft of the
# final line), crashes (crash, leak, timeout and out-of-memory artifacts), the slowest input and
# the peak RSS.
#
#   bench/fuzz_run.sh [seconds-per-target (default 600)] [target...]
#
# Each target starts from its seed corpus (fuzz/corpus/<name>, never modified) and a work corpus
# kept in build-fuzz/fuzz-run/<target>/corpus across runs, with fuzz/<name>.dict as its dictionary
# when there is one. Artifacts land next to it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(frames_fuzz event_fuzz audio_fuzz)
build=build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DQUILLMOR_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

summary=()
for target in "${targets[@]}"; do
  corpus_name=${target%_fuzz}
  out=$build/fuzz-run/$target
  mkdir -p "$out/corpus" "$out/artifacts"
  log=$out/fuzz.log
  echo "== $target: ${seconds} s" >&2
  status=0
  dictionary=()
  [ -f "fuzz/$corpus_name.dict" ] && dictionary=(-dict="fuzz/$corpus_name.dict")
  "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2560 -timeout=25 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/" "${dictionary[@]}" \
    "$out/corpus" "fuzz/corpus/$corpus_name" >"$log" 2>&1 || status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  crashes=$(find "$out/artifacts" -maxdepth 1 \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  # libFuzzer's slowest unit has whole seconds; the corpus it kept, replayed, gives milliseconds.
  slow=$(sed -n 's/^stat::slowest_unit_time_sec: *//p' "$log" | tail -1)
  replay=$(find "$out/corpus" -type f -print0 |
    xargs -0 -r -n 200 "$build/fuzz/$target" -rss_limit_mb=2560 -timeout=25 2>&1 |
    sed -n 's/^Executed .* in \([0-9]*\) ms$/\1/p' | sort -n | tail -1 || true)
  slowest="${slow:-?} s (corpus replay: ${replay:-0} ms)"
  line="$target: ${seconds} s, ${execs:-?} executions (${rate:-?}/s), cov ${cov:-?} ft ${ft:-?},"
  line+=" ${crashes} crashes, slowest input ${slowest}, peak RSS ${rss:-?} MB, exit ${status}"
  summary+=("$line")
  echo "$line"
done

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
