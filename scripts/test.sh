#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build (with the fuzz corpora replayed), the
# whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded tests under
# ThreadSanitizer. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

run_suite() {  # build-dir, ctest arguments..., --, cmake arguments...
  local dir=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  echo "== $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite build --
run_suite build-asan -- -DQUILLMOR_SANITIZE=address
run_suite build-tsan -L threaded -- -DQUILLMOR_SANITIZE=thread
