#!/usr/bin/env bash
# Builds sshapi and runs it on loopback in front of a fake device CLI, with
# throwaway host keys and a demo user, then prints the ssh command to try.
# Ctrl-C stops everything it started. Runs without root once the packages
# are installed (as root it installs them).
#   PORT=2222 TELNET_PORT=2323 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${BUILD:-$SRC/build}
PORT=${PORT:-2222}
TELNET_PORT=${TELNET_PORT:-2323}
USER_NAME=demo
PASSWORD=demo

if ! scripts/setup.sh; then
  if [[ $(id -u) -ne 0 ]] && command -v sudo >/dev/null; then
    sudo scripts/setup.sh
  else
    exit 1
  fi
fi

cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target sshapi faketelnet

ROOT=$(sed -n 's/^SSHAPI_PATH_PREFIX:STRING=//p' "$BUILD/CMakeCache.txt")
DEMO=$BUILD/demo
mkdir -p "$ROOT/etc/ssh" "$ROOT/config" "$ROOT/var" "$ROOT/usr/local/etc" "$DEMO"
for t in rsa ecdsa ed25519; do
  key=$ROOT/etc/ssh/ssh_host_${t}_key
  [[ -f $key ]] || ssh-keygen -q -t "$t" -N '' -f "$key"
done
cat > "$DEMO/log.conf" <<CONF
log4cpp.rootCategory=WARN
log4cpp.category.CATEGORY=INFO, A1
log4cpp.appender.A1=org.apache.log4cpp.FileAppender
log4cpp.appender.A1.fileName=$DEMO/sshapi.log
log4cpp.appender.A1.layout=org.apache.log4cpp.PatternLayout
log4cpp.appender.A1.layout.ConversionPattern=%d{%Y-%m-%d %H:%M:%S,%l} [%p] %m%n
CONF

rm -f "$DEMO/sshapi.log" "$DEMO/faketelnet.out"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo; echo "demo stopped"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$BUILD/tools/faketelnet" --listen 127.0.0.1 --port "$TELNET_PORT" --cli \
  --banner $'Fake device CLI. Commands: ping, show version, echo TEXT, send N, close\r\n' \
  >"$DEMO/faketelnet.out" 2>&1 &
pids+=($!)
DIGEST=$(printf %s "$PASSWORD" | md5sum | cut -d' ' -f1)
"$BUILD/service/sshapi" -a 127.0.0.1 -p "$PORT" -t "$TELNET_PORT" -c "$DEMO/log.conf" \
  -U "$USER_NAME" -P "$DIGEST" --ed25519 "$ROOT/etc/ssh/ssh_host_ed25519_key" \
  >"$DEMO/sshapi.out" 2>&1 &
pids+=($!)

for _ in $(seq 1 50); do
  grep -q "faketelnet listening" "$DEMO/faketelnet.out" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q "faketelnet listening" "$DEMO/faketelnet.out" 2>/dev/null; then
  echo "the fake device CLI did not start:"; cat "$DEMO/faketelnet.out"; exit 1
fi
for _ in $(seq 1 50); do
  grep -q "listening on " "$DEMO/sshapi.log" 2>/dev/null && break
  if ! kill -0 "${pids[1]}" 2>/dev/null; then
    echo "sshapi did not start:"; cat "$DEMO/sshapi.out" "$DEMO/sshapi.log" 2>/dev/null; exit 1
  fi
  sleep 0.2
done
cat <<MSG

sshapi is listening on 127.0.0.1:$PORT in front of a fake device CLI on port $TELNET_PORT.
Log in (password: $PASSWORD):

  ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p $PORT $USER_NAME@127.0.0.1

Service log: $DEMO/sshapi.log
Debug console: echo status > $ROOT/var/request$PORT; cat $ROOT/var/response$PORT
Press Ctrl-C to stop.
MSG
wait
