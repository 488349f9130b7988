#!/usr/bin/env bash
# Runs one example program against a fresh emulator on free loopback ports
# and checks that it ends well and prints "NAME: ok".
#   run-example.sh EMULATOR EXAMPLE
set -euo pipefail
EMULATOR=${1:?emulator executable}
EXAMPLE=${2:?example executable}
NAME=$(basename "$EXAMPLE")
APP_KEY=example-app-key
WORK=$(mktemp -d)
EMULATOR_PID=
cleanup() {
  [ -n "$EMULATOR_PID" ] && kill "$EMULATOR_PID" 2>/dev/null && wait "$EMULATOR_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

"$EMULATOR" --port 0 --realtime-port 0 --memory --app-key "$APP_KEY" > "$WORK/emulator.out" &
EMULATOR_PID=$!
for _ in $(seq 1 200); do
  grep -q 'realtime on' "$WORK/emulator.out" 2>/dev/null && break
  kill -0 "$EMULATOR_PID" 2>/dev/null || { echo "the emulator did not start" >&2; exit 1; }
  sleep 0.05
done
ADDRESS=$(sed -n 's/.*listening on \([0-9.:]*\).*/\1/p' "$WORK/emulator.out" | head -n1)
REALTIME=$(sed -n 's/.*realtime on \([0-9.:]*\).*/\1/p' "$WORK/emulator.out" | head -n1)
[ -n "$ADDRESS" ] && [ -n "$REALTIME" ] || { echo "the emulator printed no address" >&2; exit 1; }

VORN_HOME="$WORK/app" VORN_APP_KEY="$APP_KEY" \
VORN_API_HOST="$ADDRESS" VORN_FALLBACK_HOST="$ADDRESS" VORN_FILE_HOST="$ADDRESS" VORN_CLOUD_HOST="$ADDRESS" \
VORN_REALTIME_HOST="$REALTIME" \
  "$EXAMPLE" | tee "$WORK/example.out"
grep -qx "$NAME: ok" "$WORK/example.out" || { echo "$NAME did not print \"$NAME: ok\"" >&2; exit 1; }
