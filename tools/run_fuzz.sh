#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) in build-fuzz
# and runs each for a bounded time on its committed corpus.
#
#   tools/run_fuzz.sh [seconds per target] [target...]
#
# Default: 30 seconds for every target in fuzz/. The committed corpus fuzz/corpus/<target>/ is only read;
# new inputs go to build-fuzz/corpus/<target>/, logs to build-fuzz/logs/<target>.log and anything found
# (crash, sanitizer report, leak, an input running longer than the timeout, an allocation over the memory
# limit) to build-fuzz/findings/<target>/. The exit status is 1 when any target has a finding.
# Environment: BRIX_FUZZ_TIMEOUT (seconds per input, default 30), BRIX_FUZZ_MALLOC_MB (largest single
# allocation, default 300), BRIX_FUZZ_RSS_MB (memory of the process, default 2048), BRIX_FUZZ_SKIP_BUILD=1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
# Under AddressSanitizer an entity-expansion seed takes several seconds (each expansion makes a parser reader
# of some 160 KB); the timeout catches hangs, not slow inputs.
timeout_s=${BRIX_FUZZ_TIMEOUT:-30}
malloc_mb=${BRIX_FUZZ_MALLOC_MB:-300}
rss_mb=${BRIX_FUZZ_RSS_MB:-2048}

if [ "${BRIX_FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DBRIX_WERROR=ON -DBRIX_BUILD_FUZZ=ON -DBRIX_BUILD_TESTS=OFF \
    -DBRIX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j"$(nproc)"
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    [ "$name" = fuzz_support ] || targets+=("$name")
  done
fi

export TMPDIR="$PWD/build-fuzz/tmp"
mkdir -p "$TMPDIR"

failed=()
for target in "${targets[@]}"; do
  exe=build-fuzz/$target
  [ -x "$exe" ] || { echo "no such fuzz target: $target" >&2; exit 2; }
  seeds=fuzz/corpus/$target
  work=build-fuzz/corpus/$target
  findings=build-fuzz/findings/$target
  log=build-fuzz/logs/$target.log
  mkdir -p "$work" "$findings" build-fuzz/logs
  options=(-max_total_time="$seconds" -timeout="$timeout_s" -malloc_limit_mb="$malloc_mb" -rss_limit_mb="$rss_mb"
           -artifact_prefix="$findings/" -print_final_stats=1)
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  dirs=("$work")
  [ -d "$seeds" ] && dirs+=("$seeds")
  echo "fuzzing $target for ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$exe" "${options[@]}" "${dirs[@]}" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov: ' "$log" | tail -3 || true
  else
    echo "FINDING in $target: see $log and $findings/" >&2
    tail -40 "$log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets with findings: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: no findings"
