#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a
# normal build and once with AddressSanitizer and UndefinedBehaviorSanitizer.
# Then the console converter's tests, which run its worker threads, once more
# under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build --output-on-failure -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DORTAVIX_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j "$jobs"

export TSAN_OPTIONS=halt_on_error=1
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORTAVIX_TSAN=ON -DORTAVIX_GUI=OFF >/dev/null
cmake --build build-tsan --target test_cli
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R '^(Ahead|Program|Driver|TempNames)\.'
