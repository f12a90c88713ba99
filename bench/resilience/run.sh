#!/usr/bin/env bash
# Resilience figures of sshapi: soak, connection flood and faults.
#
#   bench/resilience/run.sh [--long] [--build DIR] [--out FILE]
#
# Without --long it runs the short variants that CI runs (20 sessions for
# 10 s, 300 flood connections); --long runs 200 sessions for 60 s and 2000
# flood connections. Builds the test configuration (plain, RelWithDebInfo)
# into DIR (default build-resilience) when needed, runs the three tests
# through ctest on loopback only, and writes every figure as one JSON object
# per line to FILE (default DIR/resilience.jsonl); a summary is printed.
# SANITIZE=address or SANITIZE=thread builds and runs under a sanitizer.
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
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "resilience: unknown option $1" >&2; exit 2 ;;
  esac
done
OUT=${OUT:-$BUILD/resilience.jsonl}

cmake -S "$REPO" -B "$BUILD" -DSSHAPI_SANITIZE="$SANITIZE" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null

if [[ $LONG -eq 1 ]]; then
  export SSHAPI_SOAK_SESSIONS=${SSHAPI_SOAK_SESSIONS:-200}
  export SSHAPI_SOAK_SECONDS=${SSHAPI_SOAK_SECONDS:-60}
  export SSHAPI_FLOOD_CONNECTIONS=${SSHAPI_FLOOD_CONNECTIONS:-2000}
fi
# the flood needs a descriptor per connection, in this shell and the service
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
: > "$OUT"
export SSHAPI_RESILIENCE_REPORT="$OUT"
status=0
ctest --test-dir "$BUILD" --output-on-failure -R '^e2e_(hostkeys|soak|flood|faults)$' || status=$?
echo
echo "== figures ($OUT)"
python3 - "$OUT" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    rec = json.loads(line)
    name = rec.pop("test"); rec.pop("time", None)
    print(f"{name}: " + ", ".join(f"{k}={v}" for k, v in rec.items()))
PY
exit $status
