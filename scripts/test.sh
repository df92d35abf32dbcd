#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build (with the fuzz corpora replayed), the
# Node.js client's type check and tests against that build, format and lint checks, the whole
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, a g++ Release build of everything (the optimiser's warnings differ), a clang
# build of the program with the thread-safety analysis, and the Debian package, unpacked and run.
# Warnings are errors in every build here. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

configure() {  # build-dir, build type, cmake arguments...
  local dir=$1 type=$2; shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DQUILLMOR_WERROR=ON "$@" >/dev/null
}

run_suite() {  # build-dir, ctest arguments..., --, cmake arguments...
  local dir=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  echo "== $dir"
  configure "$dir" RelWithDebInfo "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan_suppressions.txt"

run_suite build --

echo "== clients/node (the Node.js client's types and tests, against the plain build)"
(cd clients/node && npm ci --no-audit --no-fund && npm run typecheck && npm test)

echo "== lint (.clang-format as a check on every source; .clang-tidy's checks, as errors, on the program)"
find src tests fuzz bench \( -name '*.cc' -o -name '*.h' \) -print0 | sort -z |
  xargs -0 clang-format-14 --dry-run --Werror
run-clang-tidy-14 -p build -quiet "$PWD/src/" >/dev/null || {
  run-clang-tidy-14 -p build -quiet "$PWD/src/" 2>&1 | grep -E "error:|warning:" | head -40
  exit 1
}
run_suite build-asan -- -DQUILLMOR_SANITIZE=address
run_suite build-tsan -L threaded -- -DQUILLMOR_SANITIZE=thread

echo "== build-release (g++ Release, everything, built only)"
configure build-release Release -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build-release -j "$jobs"

echo "== build-thread-safety (clang's -Wthread-safety as errors, the program alone)"
configure build-thread-safety Debug -DBUILD_TESTING=OFF -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety"
cmake --build build-thread-safety -j "$jobs"

echo "== package (from the Release build, which installs under /usr)"
package=$(bash scripts/package.sh build-release | tail -n 1)
bash scripts/check_package.sh "$package"
