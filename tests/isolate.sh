#!/usr/bin/env bash
# Runs one test command with a private HOME, XDG folders and TMPDIR, offscreen Qt and no proxy,
# so that no test touches the user's real files or reaches beyond loopback.
t=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-test.XXXXXX")
export HOME="$t/home" XDG_CONFIG_HOME="$t/config" XDG_DATA_HOME="$t/data" XDG_CACHE_HOME="$t/cache"
export XDG_RUNTIME_DIR="$t/run" TMPDIR="$t/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export NO_PROXY=127.0.0.1,localhost no_proxy=127.0.0.1,localhost
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
unset VANTREL_API_HOST VANTREL_FFMPEG
"$@"
rc=$?
# File systems a test mounted and could not unmount (it crashed) go before the folder.
awk -v t="$t/" 'index($2, t) == 1 {print $2}' /proc/self/mounts | sort -r | while read -r m; do umount -l "$m"; done
rm -rf "$t"
exit $rc
