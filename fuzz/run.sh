#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# fuzzes each one for SECONDS (default 60). Fails when a target crashes or
# breaks one of its checks; the input that did it is left as
# build-fuzz/artifacts/<target>/crash-* (copy it to fuzz/regressions/<target>/
# once the fault is mended, so both builds replay it from then on).
#   fuzz/run.sh [SECONDS]
#   BUILD=dir TARGETS="credentials paramfile" fuzz/run.sh 20
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${BUILD:-$SRC/build-fuzz}
TARGETS=${TARGETS:-credentials paramfile debugconsole}
command -v clang++ >/dev/null || { echo "fuzz: clang++ not found (scripts/setup.sh --fuzz)"; exit 1; }

mkdir -p "$BUILD"
CC=clang CXX=clang++ cmake -S "$SRC" -B "$BUILD" -DSSHAPI_FUZZ=ON -DBUILD_TESTING=OFF \
  -DSSHAPI_PATH_PREFIX="$BUILD/root" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/configure.log" 2>&1 \
  || { cat "$BUILD/configure.log"; exit 1; }
cmake --build "$BUILD" -j"$(nproc)" --target $(printf 'fuzz_%s ' $TARGETS)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The targets write their documents to scratch files: memory-backed is faster.
[[ -n ${TMPDIR:-} ]] || { [[ -w /dev/shm ]] && export TMPDIR=/dev/shm; }

# The seeds and every past crash first: they must all pass as they are.
ctest --test-dir "$BUILD/fuzz" --output-on-failure

status=0
for t in $TARGETS; do
  work=$BUILD/corpus/$t   # grows from run to run; the seeds stay in the tree
  artifacts=$BUILD/artifacts/$t
  log=$BUILD/fuzz-$t.log
  mkdir -p "$work" "$artifacts"
  inputs=("$work" "$SRC/fuzz/corpus/$t")
  [[ -d $SRC/fuzz/regressions/$t ]] && inputs+=("$SRC/fuzz/regressions/$t")
  echo "fuzz: $t for ${1:-60}s"
  result=ok
  if ! "$BUILD/fuzz/fuzz_$t" -max_total_time="${1:-60}" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1; then
    result=FAILED status=1
    grep -A40 -m1 -E 'ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|FUZZ_CHECK failed' "$log" || tail -40 "$log"
    ls "$artifacts"
  fi
  echo "fuzz: $t $result" \
    "runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)" \
    "$(grep -oE 'cov: [0-9]+' "$log" | tail -1)"
done
exit $status
