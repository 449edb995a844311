#!/usr/bin/env bash
# Installs what is missing, builds, starts the local platform server with the demo fixture
# and then vantrel against it on the user's display.
# Sign in with "demo" / "demo123". With VANTREL_API_HOST set, no demo server is started and
# vantrel talks to that host instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
BIN="${BUILD_DIR:-build}/bin"
PORT="${VANTREL_DEMO_PORT:-18480}"

SERVER_PID=""
cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
}
trap cleanup EXIT

if [ -z "${VANTREL_API_HOST:-}" ]; then
    "$BIN/platformserver" --port "$PORT" --fixture tools/demo-fixture.json >/dev/null &
    SERVER_PID=$!
    export VANTREL_API_HOST="127.0.0.1:$PORT"
    # The server answers once it listens; give up after five seconds.
    for _ in $(seq 50); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then break; fi
        if ! kill -0 "$SERVER_PID" 2>/dev/null; then
            echo "The demo server did not start (is port $PORT taken? set VANTREL_DEMO_PORT)." >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "Demo server on $VANTREL_API_HOST: sign in with demo / demo123."
fi

# "ostrelhelper:" links of a web page (a sign-in token) start this build of vantrel.
"$BIN/vantrel" --register-url-protocol || echo "The ostrelhelper: URL protocol could not be registered." >&2

status=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running under xvfb-run (nothing will be visible)."
    xvfb-run -a "$BIN/vantrel" "$@" || status=$?
else
    "$BIN/vantrel" "$@" || status=$?
fi
exit $status
