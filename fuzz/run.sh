#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# fuzzes each one for SECONDS (default 60), starting from its seeds and every
# past crash. Fails when a target crashes or breaks one of its checks; the
# input that did it is left as build-fuzz/artifacts/<target>/crash-* (copy it
# to fuzz/regressions/<target>/ once the fault is mended, so every build
# replays it from then on).
#   fuzz/run.sh [SECONDS]
#   BUILD=dir TARGETS="credentials paramfile" fuzz/run.sh 20
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${BUILD:-$SRC/build-fuzz}
TARGETS=${TARGETS:-credentials paramfile debugconsole}
command -v clang++ >/dev/null || { echo "fuzz: clang++ not found (scripts/setup.sh --fuzz)"; exit 1; }

CC=clang CXX=clang++ cmake -S "$SRC" -B "$BUILD" -DSSHAPI_FUZZ=ON -DBUILD_TESTING=OFF \
  -DSSHAPI_PATH_PREFIX="$BUILD/root" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
read -ra targets <<<"$TARGETS"
cmake --build "$BUILD" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The targets write their documents to scratch files: memory-backed is faster.
[[ -n ${TMPDIR:-} ]] || { [[ -w /dev/shm ]] && export TMPDIR=/dev/shm; }

status=0
for t in "${targets[@]}"; do
  log=$BUILD/fuzz-$t.log
  mkdir -p "$BUILD/corpus/$t" "$BUILD/artifacts/$t"   # the corpus grows from run to run
  inputs=("$BUILD/corpus/$t" "$SRC/fuzz/corpus/$t")
  [[ -d $SRC/fuzz/regressions/$t ]] && inputs+=("$SRC/fuzz/regressions/$t")
  echo "fuzz: $t for ${1:-60}s"
  result=ok
  if ! "$BUILD/fuzz/fuzz_$t" -max_total_time="${1:-60}" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$BUILD/artifacts/$t/" "${inputs[@]}" >"$log" 2>&1; then
    result=FAILED status=1
    grep -A40 -m1 -E 'ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|FUZZ_CHECK failed' "$log" || tail -40 "$log"
  fi
  echo "fuzz: $t $result $(grep -oE 'cov: [0-9]+' "$log" | tail -1)"
done
exit $status
