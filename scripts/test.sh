#!/usr/bin/env bash
# Builds and runs every test: a plain build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build of the threaded
# tests, the fuzzers' corpus replay and a short fuzzing run, and the format
# check. Usage: scripts/test.sh   (installs missing Debian packages first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

step() { printf '\n=== %s ===\n' "$*"; }

step "format check"
git ls-files '*.cc' '*.h' | xargs -r clang-format --dry-run --Werror

step "plain build and tests"
configure build/plain
cmake --build build/plain -j "$jobs"
ctest --test-dir build/plain --output-on-failure --timeout 300 -j "$jobs"

# The sanitizer builds use clang: its thread-safety analysis checks our lock
# annotations, and gcc's flow warnings misfire on instrumented code.
step "AddressSanitizer + UndefinedBehaviorSanitizer"
CC=clang CXX=clang++ configure build/asan -DSCREDIR_SANITIZE=address -DSCREDIR_BUILD_BENCH=OFF
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure --timeout 300 -j "$jobs"

step "ThreadSanitizer (threaded tests)"
CC=clang CXX=clang++ configure build/tsan -DSCREDIR_SANITIZE=thread -DSCREDIR_BUILD_BENCH=OFF
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch -R \
  ctest --test-dir build/tsan --output-on-failure --timeout 300 -j "$jobs" -L threaded

if [ -f fuzz/CMakeLists.txt ]; then
  step "fuzzers (clang, libFuzzer)"
  CC=clang CXX=clang++ configure build/fuzz -DSCREDIR_BUILD_FUZZ=ON -DSCREDIR_BUILD_TESTS=OFF \
    -DSCREDIR_BUILD_BENCH=OFF
  cmake --build build/fuzz -j "$jobs"
  for f in build/fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    corpus="fuzz/corpus/$(basename "$f" | sed 's/^fuzz_//')"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    printf '%s: ' "$(basename "$f")"
    "$f" -max_total_time=20 -rss_limit_mb=1024 "$work" 2>&1 | tail -n 1
    rm -rf "$work"
  done
fi

echo
echo "all tests passed"
