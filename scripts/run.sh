#!/usr/bin/env bash
# Installs what is missing, builds the programs, starts the local platform server with the
# demo fixture and then vantrel against it on the user's display.
# Sign in with "demo" / "demo123". The demo server listens on 127.0.0.1:$VANTREL_DEMO_PORT
# (18480 when unset) and serves all five hosts of "start.ini" (api, web, site, docs, upload):
# each is pointed at it. With VANTREL_API_HOST set, no demo server is started and vantrel talks
# to the hosts it is given instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what this run needs: the tests are built by scripts/test.sh.
bash scripts/build.sh vantrel sorbin platformserver vantrel_translations
BIN="${BUILD_DIR:-build}/bin"
PORT="${VANTREL_DEMO_PORT:-18480}"

SERVER_PID=""
SERVER_OUT=""
cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    if [ -n "$SERVER_OUT" ]; then rm -f "$SERVER_OUT"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# True when the server on the port answers the web API's base address as our server does.
answers() {
    local reply
    reply=$(exec 3<>"/dev/tcp/127.0.0.1/$PORT" \
        && printf 'GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3 \
        && timeout 3 cat <&3) 2>/dev/null || return 1
    case "$reply" in *'"platform"'*) return 0 ;; *) return 1 ;; esac
}

if [ -z "${VANTREL_API_HOST:-}" ]; then
    case "$PORT" in
        ''|*[!0-9]*) echo "VANTREL_DEMO_PORT must be a port number, not \"$PORT\"." >&2; exit 2 ;;
    esac
    SERVER_OUT=$(mktemp)
    "$BIN/platformserver" --port "$PORT" --fixture tools/demo-fixture.json >"$SERVER_OUT" 2>&1 &
    SERVER_PID=$!
    # The server prints its port once it listens; only then is the port known to be ours.
    listening=""
    for _ in $(seq 100); do
        if ! kill -0 "$SERVER_PID" 2>/dev/null; then break; fi
        if [ "$(head -n 1 "$SERVER_OUT")" = "$PORT" ]; then listening=1; break; fi
        sleep 0.1
    done
    if [ -z "$listening" ] || ! kill -0 "$SERVER_PID" 2>/dev/null || ! answers; then
        sed 's/^/  /' "$SERVER_OUT" >&2 || true
        echo "The demo server could not start on 127.0.0.1:$PORT: the port is probably taken by" >&2
        echo "another program. Choose a free port, for example: VANTREL_DEMO_PORT=18490 scripts/run.sh" >&2
        exit 1
    fi
    # Every host moves with the port: "start.ini" names 18480 for each of them.
    for name in API WEB SITE DOCS UPLOAD; do
        export "VANTREL_${name}_HOST=127.0.0.1:$PORT"
    done
    echo "Demo server on $VANTREL_API_HOST: sign in with the demo account, demo / demo123."
fi

# "ostrelhelper:" links of a web page (a sign-in token) start this build of vantrel: this writes
# ~/.local/share/applications/vantrel-ostrelhelper.desktop and sets that entry as the default
# for x-scheme-handler/ostrelhelper in ~/.config/mimeapps.list (README: "Using the demo").
"$BIN/vantrel" --register-url-protocol || echo "The ostrelhelper: URL protocol could not be registered." >&2

status=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: vantrel runs in a virtual X display (xvfb-run), so its window is NOT"
    echo "visible; it starts and waits at its sign-in dialog. Press Ctrl+C to end it."
    xvfb-run -a "$BIN/vantrel" "$@" || status=$?
else
    "$BIN/vantrel" "$@" || status=$?
fi
exit $status
