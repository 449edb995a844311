#!/usr/bin/env bash
# Runs one test command with TMPDIR a folder of at least 100 characters (40 more than the
# temporary folder it is made in), so that every path a test makes there is long.
base="${TMPDIR:-/tmp}"
base="${base%/}"
want=$(( ${#base} + 40 > 100 ? ${#base} + 40 : 100 ))
t=$(mktemp -d "$base/long.XXXXXX") || exit 1
dir="$t/"
while [ ${#dir} -lt "$want" ]; do dir="${dir}l"; done
mkdir -p "$dir"
export TMPDIR="$dir"
"$@"
rc=$?
rm -rf "$t"
exit $rc
