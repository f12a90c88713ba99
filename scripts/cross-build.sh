#!/usr/bin/env bash
# Cross-compiles sshapi for AArch64 into build-aarch64/ (Debian's cross
# compiler and arm64 packages; scripts/setup-cross.sh prepares the machine)
# and, with --test, runs the test suite on the AArch64 build under qemu's
# user-mode emulator through CTest.
#
#   scripts/cross-build.sh              build only
#   scripts/cross-build.sh --test       + unit and install tests under qemu
#   scripts/cross-build.sh --test --e2e + the end-to-end tests (the service
#                                         and the fake telnet peer under qemu,
#                                         python and ssh on the host)
#   BUILD=dir JOBS=n BUILD_TYPE=Release scripts/cross-build.sh ...
#
# Exit status 2: the machine lacks the cross packages (and this is not
# root, or they cannot be installed); the message says what to run.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${BUILD:-$SRC/build-aarch64}
JOBS=${JOBS:-$(nproc)}
TEST=0
E2E=0
for arg in "$@"; do
  case $arg in
    --test) TEST=1 ;;
    --e2e) TEST=1; E2E=1 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "cross-build: unknown argument $arg" >&2; exit 2 ;;
  esac
done

# The watchdog's crash tests compare the worker's standard error with the
# empty text; under qemu a worker that dies of a signal also gets qemu's
# own "qemu: uncaught target signal ..." line there. They run natively.
EMULATION_EXCLUDE='WatchdogCrashTest\.CrashRestartsWorker'

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
echo
echo "cross-build: $(file -b "$exe" | cut -d, -f1-2)"
echo "cross-build: build time $((t1 - t0)) s; sshapi $(stat -c %s "$exe") bytes, stripped $(stat -c %s "$stripped") bytes"

if [[ $TEST -eq 1 ]]; then
  labels='^(unit|install)$'
  [[ $E2E -eq 1 ]] && labels='^(unit|install|e2e)$'
  echo "cross-build: tests under $(grep -m1 '^SSHAPI_QEMU_AARCH64:' "$BUILD/CMakeCache.txt" | cut -d= -f2) (labels $labels; not run under emulation: $EMULATION_EXCLUDE)"
  t2=$(date +%s)
  status=0
  ctest --test-dir "$BUILD" --output-on-failure -j"${CTEST_JOBS:-2}" \
    -L "$labels" -E "$EMULATION_EXCLUDE" || status=$?
  t3=$(date +%s)
  echo "cross-build: test time under emulation $((t3 - t2)) s"
  exit $status
fi
