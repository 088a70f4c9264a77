#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for a
# bounded time on a scratch copy of its committed seed corpus.
#   fuzz/run.sh [TARGET...]      all targets when none is named
# Environment: QX_FUZZ_SECONDS (per target, default 25), QX_FUZZ_BUILD_DIR.
# Without clang or its libFuzzer runtime it says so and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${QX_FUZZ_SECONDS:-25}
build=${QX_FUZZ_BUILD_DIR:-$root/build-fuzz}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! command -v clang++ >/dev/null 2>&1 ||
   ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
  echo "fuzz: clang with libFuzzer is not available; fuzz targets skipped"
  exit 0
fi

cmake -S fuzz -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
if ! nice cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  exit 1
fi
grep -E 'warning:' "$build/build.log" || true

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp | sed 's/^fuzz_//')"); done
fi

mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
  program="$build/fuzz_$target"
  [ -x "$program" ] || { echo "fuzz: no target $target"; status=1; continue; }
  scratch="$build/corpus/$target"
  rm -rf "$scratch" && mkdir -p "$scratch"
  log="$build/fuzz_$target.log"
  # New inputs go to the scratch copy; the committed seeds stay as they are.
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "$program" "$scratch" "fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
    echo "fuzz: $target: ${runs:-?} inputs in ${seconds}s, $cov, no finding"
  else
    echo "fuzz: $target: FINDING (log $log)"
    grep -E 'ERROR|invariant|SUMMARY|Test unit written' "$log" | head -20
    status=1
  fi
done
exit $status
