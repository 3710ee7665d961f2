#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 60) and prints how
# many inputs each one ran. Not part of CI.
#
#   bench/fuzz.sh [SECONDS]
#
# Builds build-fuzz with clang (ORTAVIX_FUZZ=ON) when needed. Seeds: the
# samples and test inputs (HTML), the committed seeds under tools/fuzz/seeds,
# and the samples converted to XML for the checker. New inputs the fuzzer
# finds stay in build-fuzz/corpus; crashes land in build-fuzz/findings. The
# targets run in an empty temporary folder, hence the absolute paths.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${JOBS:-1}

if [ ! -f build-fuzz/build.ninja ]; then
  CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORTAVIX_FUZZ=ON -DORTAVIX_GUI=OFF \
    -DORTAVIX_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C build-fuzz -j"$jobs" fuzz_convert fuzz_checker fuzz_options ortavixcl >/dev/null

corpus=$PWD/build-fuzz/corpus
findings=$PWD/build-fuzz/findings
mkdir -p "$corpus"/{convert,checker,options} "$findings"
cp -n samples/*.html "$corpus/convert/" 2>/dev/null || true
find tests -name '*.html' -size -64k -exec cp -n {} "$corpus/convert/" \; 2>/dev/null || true
cp -n tools/fuzz/seeds/checker/* "$corpus/checker/"
cp -n tools/fuzz/seeds/options/* "$corpus/options/"
# The checker starts from what the converter writes.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$OLDPWD/build-fuzz/ortavixcl" "$OLDPWD/samples/*.html" >/dev/null 2>&1 || true)
cp -n "$work"/*.XML "$corpus/checker/" 2>/dev/null || true

status=0
for target in convert checker options; do
  log=$findings/$target.log
  set +e
  ASAN_OPTIONS=detect_leaks=1 build-fuzz/fuzz_$target "$corpus/$target" \
    -dict="$PWD/tools/fuzz/markup.dict" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -timeout=20 -artifact_prefix="$findings/$target-" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz_$target: ${runs:-?} runs in ${seconds} s, exit status $rc (log: $log)"
  [ "$rc" -eq 0 ] || status=1
done
exit $status
