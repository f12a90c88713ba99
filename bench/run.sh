#!/usr/bin/env bash
# Benchmarks sshapi against OpenSSH's sshd and dropbear on this machine.
#
#   bench/run.sh [--quick|--full] [--out FILE] [--build DIR] [more options]
#
# Needs root, for what the two peers need: a scratch local user with a
# password (sshd and dropbear log in real system users), and sshd itself
# (privilege separation). Installs the peers with scripts/setup.sh --bench,
# builds sshapi and faketelnet (Release) when the build directory has none,
# and removes the user, the scratch directory and every process it started
# when it ends, also on Ctrl-C or failure. All traffic stays on 127.0.0.1.
# Not part of CI. "bench/run.sh --help" lists the options of the suite.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$REPO/build-bench"
ARGS=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --build=*) BUILD=$(realpath -m "${1#--build=}"); shift ;;
    -h|--help) exec python3 "$REPO/bench/sshbench.py" --help ;;
    *) ARGS+=("$1"); shift ;;
  esac
done

if [[ $(id -u) -ne 0 ]]; then
  echo "bench: needs root: it creates a scratch local user with a password for the" >&2
  echo "bench: sshd and dropbear logins, and runs sshd (privilege separation)." >&2
  echo "bench: everything it creates is removed at the end." >&2
  exit 1
fi

bash "$REPO/scripts/setup.sh" --bench

if [[ ! -x "$BUILD/service/sshapi" || ! -x "$BUILD/tools/faketelnet" ]]; then
  echo "bench: building sshapi and faketelnet in $BUILD"
  cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
  cmake --build "$BUILD" -j2 --target sshapi faketelnet >/dev/null
fi

WORK=$(mktemp -d /tmp/sshapi-bench.XXXXXX)
chmod 755 "$WORK"
PY_PID=""

# Last line of defence: the suite cleans up after itself, this catches what
# a killed suite could not (the scratch user, processes it recorded, files).
cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  if [[ -n "$PY_PID" ]] && kill -0 "$PY_PID" 2>/dev/null; then
    kill -TERM "$PY_PID" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$PY_PID" 2>/dev/null || break; sleep 0.1; done
  fi
  python3 "$REPO/bench/sshbench.py" --cleanup "$WORK" || true
  rm -rf "$WORK"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

python3 "$REPO/bench/sshbench.py" --build "$BUILD" --workdir "$WORK" "${ARGS[@]}" &
PY_PID=$!
wait "$PY_PID"
