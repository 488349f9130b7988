#!/usr/bin/env bash
# Runs one example program against a fresh emulator on free loopback ports
# and checks that it ends well and prints "NAME: ok".
#   run-example.sh EMULATOR EXAMPLE
set -euo pipefail
EMULATOR=${1:?emulator executable}
EXAMPLE=${2:?example executable}
NAME=$(basename "$EXAMPLE")
APP_KEY=example-app-key
# shellcheck source=emulator-session.sh
source "$(dirname "$0")/emulator-session.sh"
WORK=$(mktemp -d)
start_emulator "$EMULATOR" "$WORK" --realtime-port 0 --memory --app-key "$APP_KEY"
with_emulator_env "$APP_KEY" "$WORK/app" "$EXAMPLE" | tee "$WORK/example.out"
grep -qx "$NAME: ok" "$WORK/example.out" || { echo "$NAME did not print \"$NAME: ok\"" >&2; exit 1; }
