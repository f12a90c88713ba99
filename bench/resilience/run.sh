#!/usr/bin/env bash
# Resilience of sshapi: soak, connection flood and faults, and their figures.
#
#   bench/resilience/run.sh [--long] [--build DIR] [--out FILE]
#
# Without --long it runs the short variants that CI runs (20 sessions for
# 10 s, 300 flood connections); --long runs 200 sessions for 60 s and 2000
# flood connections. Builds the test configuration (plain, RelWithDebInfo)
# into DIR (default build-resilience) when needed, runs the three tests
# through ctest on loopback only, then measures the figures (figures.py:
# connections held and their cost, a garbage flood, many sessions at once)
# and writes them as one JSON object per line to FILE (default
# DIR/resilience.jsonl). SANITIZE=address or SANITIZE=thread builds and runs
# under a sanitizer.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SANITIZE=${SANITIZE:-}
BUILD="$REPO/build-resilience${SANITIZE:+-$SANITIZE}"
OUT=""
LONG=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --long) LONG=1; shift ;;
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --out) OUT=$(realpath -m "$2"); shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "resilience: unknown option $1" >&2; exit 2 ;;
  esac
done
OUT=${OUT:-$BUILD/resilience.jsonl}

cmake -S "$REPO" -B "$BUILD" -DSSHAPI_SANITIZE="$SANITIZE" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null

export SSHAPI_SOAK_SESSIONS=${SSHAPI_SOAK_SESSIONS:-$((LONG ? 200 : 20))}
export SSHAPI_SOAK_SECONDS=${SSHAPI_SOAK_SECONDS:-$((LONG ? 60 : 10))}
export SSHAPI_FLOOD_CONNECTIONS=${SSHAPI_FLOOD_CONNECTIONS:-$((LONG ? 2000 : 300))}
# the flood needs a descriptor per connection, in this shell and the service
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
status=0
ctest --test-dir "$BUILD" --output-on-failure -R '^e2e_(hostkeys|soak|flood|faults)$' || status=$?

echo
echo "== figures ($OUT)"
: > "$OUT"
SSHAPI_BIN="$BUILD/service/sshapi" FAKETELNET_BIN="$BUILD/tools/faketelnet" \
SSHAPI_TEST_ROOT=$(sed -n 's/^SSHAPI_PATH_PREFIX:[A-Z]*=//p' "$BUILD/CMakeCache.txt") \
SSHAPI_TEST_TMP="$BUILD/testtmp" \
  /usr/bin/python3 "$REPO/bench/resilience/figures.py" --flood "$SSHAPI_FLOOD_CONNECTIONS" \
    --sessions "$SSHAPI_SOAK_SESSIONS" --seconds "$SSHAPI_SOAK_SECONDS" --out "$OUT" || status=$?
exit $status
