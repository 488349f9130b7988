# Sourced by the scripts that run programs against a fresh emulator: start
# it on free loopback ports, read its addresses, point the library at it and
# stop it on exit.
#   start_emulator EMULATOR WORK [OPTION...]  sets EMULATOR_PID, ADDRESS and
#                                             REALTIME (empty with --no-realtime)
#   with_emulator_env APP_KEY HOME COMMAND... runs COMMAND with the VORN_*
#                                             variables set for it
#   stop_emulator                             ends it (start_emulator traps EXIT)

EMULATOR_PID=
EMULATOR_WORK=

stop_emulator() {
  [ -n "$EMULATOR_PID" ] && kill "$EMULATOR_PID" 2>/dev/null && wait "$EMULATOR_PID" 2>/dev/null || true
  EMULATOR_PID=
  [ -n "$EMULATOR_WORK" ] && rm -rf "$EMULATOR_WORK"
  EMULATOR_WORK=
}

start_emulator() {
  local executable=$1 work=$2
  shift 2
  EMULATOR_WORK=$work
  trap stop_emulator EXIT
  local realtime=1 option
  for option in "$@"; do [ "$option" = --no-realtime ] && realtime=0; done
  local ready='listening on'
  [ $realtime -eq 1 ] && ready='realtime on'
  "$executable" --port 0 "$@" > "$work/emulator.out" &
  EMULATOR_PID=$!
  # Up to 10 s for the addresses to be printed.
  for _ in $(seq 1 200); do
    grep -q "$ready" "$work/emulator.out" 2>/dev/null && break
    kill -0 "$EMULATOR_PID" 2>/dev/null || { echo "the emulator did not start" >&2; cat "$work/emulator.out" >&2; return 1; }
    sleep 0.05
  done
  ADDRESS=$(sed -n 's/.*listening on \([0-9.:]*\).*/\1/p' "$work/emulator.out" | head -n1)
  REALTIME=$(sed -n 's/.*realtime on \([0-9.:]*\).*/\1/p' "$work/emulator.out" | head -n1)
  [ -n "$ADDRESS" ] || { echo "the emulator printed no address" >&2; return 1; }
  [ $realtime -eq 0 ] || [ -n "$REALTIME" ] || { echo "the emulator printed no realtime address" >&2; return 1; }
}

with_emulator_env() {
  local app_key=$1 home=$2
  shift 2
  VORN_HOME="$home" VORN_APP_KEY="$app_key" \
  VORN_API_HOST="$ADDRESS" VORN_FALLBACK_HOST="$ADDRESS" VORN_FILE_HOST="$ADDRESS" VORN_CLOUD_HOST="$ADDRESS" \
  VORN_REALTIME_HOST="$REALTIME" \
    "$@"
}
