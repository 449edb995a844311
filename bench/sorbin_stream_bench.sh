#!/usr/bin/env bash
# Stream-mode throughput of sorbin against cp of the same file, page cache warm.
#
#   bench/sorbin_stream_bench.sh [build dir] [size in MiB, default 1024]
#
# Prints the times, the ratio sorbin/cp (target: within 1.3) and sorbin's peak memory at two
# file sizes (it must not grow with the size). sorbin's fixed start-up and exit pauses are
# left out of the ratio: it is taken on the time from the pipe connection to the last message.
set -euo pipefail
BUILD=${1:-build}
MIB=${2:-1024}
SORBIN="$BUILD/bin/sorbin"
SERVE="$BUILD/bench/sorbin_pipeserve"
[ -x "$SORBIN" ] && [ -x "$SERVE" ] || { echo "build sorbin and sorbin_pipeserve in $BUILD first" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sorbin-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_RUNTIME_DIR="$WORK/run" XDG_DATA_HOME="$WORK/data"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
KEY=0123456789ABCDEF0123456789ABCDEF

ms() { date +%s%3N; }

run_sorbin() { # <size MiB> -> prints "work_ms maxrss_kb"
  local mib=$1 src="$WORK/src-$1.bin"
  cat "$src" > /dev/null
  local task
  task=$(printf '{"course_id":"1","encrypt_type":7,"file_name":"src-%s.bin","file_path":"%s/","format":"","randEnc":0,"save_path":"%s/","total_time":0,"video_height":0,"video_key":"1_1_1_out.vep","video_width":0}' "$mib" "$WORK" "$WORK")
  local pipe='\\.\pipe\0123456789abcdef0123456789abcdef'
  local line
  line=$("$SERVE" "$pipe" "$SORBIN" "$task" "$KEY" "$pipe")
  case "$line" in *exit=0*) ;; *) echo "sorbin failed: $line" >&2; exit 1;; esac
  rm -f "$WORK/1_1_1_out.vep"
  local work rss
  work=$(sed -n 's/.*work_ms=\([0-9]*\).*/\1/p' <<<"$line")
  rss=$(sed -n 's/.*maxrss_kb=\([0-9]*\).*/\1/p' <<<"$line")
  echo "$work $rss"
}

run_cp() { # <size MiB> -> prints ms
  local src="$WORK/src-$1.bin"
  cat "$src" > /dev/null
  local t0 t1
  t0=$(ms); cp "$src" "$WORK/copy.bin"; t1=$(ms)
  rm -f "$WORK/copy.bin"
  echo $((t1 - t0))
}

best() { sort -n | head -1; }

echo "file: $MIB MiB, 3 runs each, best taken"
small=$((MIB / 8 > 0 ? MIB / 8 : 1))
for m in "$small" "$MIB"; do head -c $((m * 1024 * 1024)) /dev/urandom > "$WORK/src-$m.bin"; done
read -r _ rss_small < <(run_sorbin "$small")
cp_ms=$(for i in 1 2 3; do run_cp "$MIB"; done | best)
sorbin_runs=$(for i in 1 2 3; do run_sorbin "$MIB"; done)
sorbin_ms=$(awk '{print $1}' <<<"$sorbin_runs" | best)
rss=$(awk '{print $2}' <<<"$sorbin_runs" | sort -n | tail -1)
echo "cp:              ${cp_ms} ms"
echo "sorbin (stream): ${sorbin_ms} ms"
awk -v s="$sorbin_ms" -v c="$cp_ms" 'BEGIN { if (c < 1) c = 1; printf "ratio sorbin/cp: %.2f (target <= 1.30)\n", s / c }'
echo "peak memory:     ${rss} KiB at $MIB MiB, ${rss_small} KiB at $small MiB"
