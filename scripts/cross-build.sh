#!/usr/bin/env bash
# Cross-compiles sshapi for AArch64 into build-aarch64/ (Debian's cross
# compiler and arm64 packages; scripts/setup-cross.sh prepares the machine)
# and, with --test, runs the whole test suite of the AArch64 build under
# qemu's user-mode emulator through CTest: unit, install, fuzz replay and
# end-to-end tests (sshapi and faketelnet under qemu, python and ssh on the
# host), as a plain "ctest" in build-aarch64/ does.
#
#   scripts/cross-build.sh              build only
#   scripts/cross-build.sh --test       + every test under qemu
#   LABEL=unit scripts/cross-build.sh --test    one CTest label only
#   BUILD=dir JOBS=n CTEST_JOBS=n BUILD_TYPE=Release scripts/cross-build.sh ...
#
# Tests whose meaning needs the native process skip themselves under the
# emulator and say why; the reasons are repeated after the run.
# Exit status 2: the machine lacks the cross packages (and this is not
# root, or they cannot be installed); the message says what to run.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${BUILD:-$SRC/build-aarch64}
JOBS=${JOBS:-$(nproc)}
TEST=0
for arg in "$@"; do
  case $arg in
    --test|--e2e) TEST=1 ;;    # --e2e: the old name; the e2e tests are part of --test
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "cross-build: unknown argument $arg" >&2; exit 2 ;;
  esac
done

if ! scripts/setup-cross.sh; then
  exit 2
fi

t0=$(date +%s)
cmake -S "$SRC" -B "$BUILD" \
  -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/toolchains/aarch64-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DSSHAPI_WERROR=ON >/dev/null
cmake --build "$BUILD" -j"$JOBS"
t1=$(date +%s)

exe=$BUILD/service/sshapi
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
aarch64-linux-gnu-strip -o "$stripped" "$exe"
IFS=, read -r kind machine _ <<<"$(file -b "$exe")"
echo
echo "cross-build: $kind,$machine"
echo "cross-build: build time $((t1 - t0)) s; sshapi $(stat -c %s "$exe") bytes, stripped $(stat -c %s "$stripped") bytes"

if [[ $TEST -eq 1 ]]; then
  emulator=$(sed -n 's/^SSHAPI_QEMU_AARCH64:[^=]*=//p' "$BUILD/CMakeCache.txt")
  if [[ -z $emulator ]]; then
    echo "cross-build: no qemu-aarch64 found (scripts/setup-cross.sh installs qemu-user)" >&2
    exit 2
  fi
  version=$("$emulator" --version)
  echo "cross-build: tests under ${version%%$'\n'*}${LABEL:+ (label $LABEL)}"
  junit=$BUILD/junit.xml
  # The whole output of passed tests goes into the JUnit file too: it holds
  # the reasons of cases skipped inside a test that passed.
  args=(--test-dir "$BUILD" --output-on-failure -j"${CTEST_JOBS:-2}" --output-junit "$junit"
        --test-output-size-passed 1048576)
  [[ -n ${LABEL:-} ]] && args+=(-L "$LABEL")
  rm -f "$junit"
  t2=$(date +%s)
  status=0
  ctest "${args[@]}" || status=$?
  t3=$(date +%s)
  echo "cross-build: test time under emulation $((t3 - t2)) s"
  # The failures, every skip reason with its count, then
  # "aarch64: N passed, N failed, N skipped (N tests, N s)".
  /usr/bin/python3 scripts/ctest-summary.py "$junit" aarch64 || status=$(( status != 0 ? status : 1 ))
  exit $status
fi
