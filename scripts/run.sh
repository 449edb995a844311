#!/usr/bin/env bash
# Installs what is missing, builds, starts the local platform server with the demo fixture
# and then vantrel against it on the user's display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
BIN="${BUILD_DIR:-build}/bin"
PORT="${VANTREL_DEMO_PORT:-18480}"

if [ -z "${VANTREL_API_HOST:-}" ]; then
    "$BIN/platformserver" --port "$PORT" --fixture tools/demo-fixture.json &
    SERVER_PID=$!
    trap 'kill $SERVER_PID 2>/dev/null || true' EXIT
    export VANTREL_API_HOST="127.0.0.1:$PORT"
    sleep 0.5
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running under xvfb-run (nothing will be visible)."
    exec xvfb-run -a "$BIN/vantrel" "$@"
fi
"$BIN/vantrel" "$@"
