#!/usr/bin/env bash
# Starts the emulator on a free loopback port, runs the quickstart against
# it, and stops the emulator again.
set -euo pipefail
BUILD=${1:?build directory}
APP_KEY=demo-app-key
WORK=$(mktemp -d)
EMULATOR_PID=
cleanup() {
  [ -n "$EMULATOR_PID" ] && kill "$EMULATOR_PID" 2>/dev/null && wait "$EMULATOR_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

"$BUILD/emulator/vorn-emulator" --port 0 --realtime-port 0 --memory --app-key "$APP_KEY" > "$WORK/emulator.out" &
EMULATOR_PID=$!
for _ in $(seq 1 100); do
  grep -q 'realtime on' "$WORK/emulator.out" 2>/dev/null && break
  kill -0 "$EMULATOR_PID" 2>/dev/null || { echo "the emulator did not start" >&2; exit 1; }
  sleep 0.1
done
ADDRESS=$(sed -n 's/.*listening on \([0-9.:]*\).*/\1/p' "$WORK/emulator.out" | head -n1)
[ -n "$ADDRESS" ] || { echo "the emulator printed no address" >&2; exit 1; }
REALTIME=$(sed -n 's/.*realtime on \([0-9.:]*\).*/\1/p' "$WORK/emulator.out" | head -n1)
[ -n "$REALTIME" ] || { echo "the emulator printed no realtime address" >&2; exit 1; }
echo "emulator listening on $ADDRESS, realtime on $REALTIME"

VORN_HOME="$WORK/app" VORN_APP_KEY="$APP_KEY" \
VORN_API_HOST="$ADDRESS" VORN_FALLBACK_HOST="$ADDRESS" VORN_FILE_HOST="$ADDRESS" VORN_CLOUD_HOST="$ADDRESS" \
VORN_REALTIME_HOST="$REALTIME" \
  "$BUILD/examples/quickstart"
