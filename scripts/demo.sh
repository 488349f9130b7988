#!/usr/bin/env bash
# Starts the emulator on a free loopback port, runs the quickstart against
# it, and stops the emulator again.
set -euo pipefail
BUILD=${1:?build directory}
APP_KEY=demo-app-key
# shellcheck source=emulator-session.sh
source "$(dirname "$0")/emulator-session.sh"
WORK=$(mktemp -d)
start_emulator "$BUILD/emulator/vorn-emulator" "$WORK" --realtime-port 0 --memory --app-key "$APP_KEY"
echo "emulator listening on $ADDRESS, realtime on $REALTIME"
with_emulator_env "$APP_KEY" "$WORK/app" "$BUILD/examples/quickstart"
