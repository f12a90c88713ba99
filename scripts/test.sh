#!/usr/bin/env bash
# Builds the test configuration and runs every test (unit and end to end),
# then prints the summary read from ctest's JUnit file (BUILD/junit.xml).
#   scripts/test.sh                      plain build in build/
#   SANITIZE=address scripts/test.sh     ASan+UBSan build in build-address/
#   SANITIZE=thread  scripts/test.sh     TSan build in build-thread/
#   COMPILER=clang scripts/test.sh       clang build in build-clang/, with the
#                                        thread-safety analysis of the lock
#                                        annotations (SSHAPI_THREAD_SAFETY)
#   LABEL=unit scripts/test.sh           only the unit tests
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
SANITIZE=${SANITIZE:-}
COMPILER=${COMPILER:-}
BUILD=${BUILD:-$SRC/build${COMPILER:+-$COMPILER}${SANITIZE:+-$SANITIZE}}
setup=()
cmake_args=(-DSSHAPI_WERROR=ON -DSSHAPI_SANITIZE="$SANITIZE" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}")
case $COMPILER in
  '') ;;
  clang)
    setup=(--clang)
    export CC=clang CXX=clang++
    cmake_args+=(-DSSHAPI_THREAD_SAFETY=ON) ;;
  *) echo "test: unknown COMPILER=$COMPILER (empty for the default, or clang)" >&2; exit 2 ;;
esac

scripts/setup.sh "${setup[@]}" ||
  { [[ $(id -u) -ne 0 ]] && command -v sudo >/dev/null && sudo scripts/setup.sh "${setup[@]}"; }

cmake -S "$SRC" -B "$BUILD" "${cmake_args[@]}"
cmake --build "$BUILD" -j"$(nproc)"
junit=$BUILD/junit.xml
# The whole output of passed tests goes into the JUnit file too: it holds
# the reasons of cases skipped inside a test that passed.
args=(--test-dir "$BUILD" --output-on-failure -j"${JOBS:-2}" --output-junit "$junit"
      --test-output-size-passed 1048576)
[[ -n "${LABEL:-}" ]] && args+=(-L "$LABEL")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=0:second_deadlock_stack=1}
rm -f "$junit"
status=0
ctest "${args[@]}" || status=$?
echo
name="test${COMPILER:+ $COMPILER}${SANITIZE:+ $SANITIZE}${LABEL:+ (label $LABEL)}"
/usr/bin/python3 scripts/ctest-summary.py "$junit" "$name" ||
  status=$(( status != 0 ? status : 1 ))
exit "$status"
