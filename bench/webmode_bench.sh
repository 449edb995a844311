#!/usr/bin/env bash
# Web-mode stage against the bare ffmpeg commands it runs, on a 60-second clip.
# Usage: bench/webmode_bench.sh [build folder]   (default: build/)
# Prints the best of $RUNS (default 3) runs for each and the ratio stage / bare (target: at most 1.05).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
runs=${RUNS:-3}
quality="-b:v 512k -preset veryfast"

cmake --build "$build" --target webmode_bench -j4 >/dev/null
bench="$build/bench/webmode_bench"

work=$(mktemp -d "${TMPDIR:-/tmp}/webmode-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export VANTREL_DATA_DIR="$work/data/"
unset VANTREL_FFMPEG
clip="$work/clip 60s.mp4"
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc=size=640x360:rate=25:duration=60 -f lavfi -i sine=frequency=440:duration=60 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -shortest "$clip"

now() { date +%s.%N; }
best() { sort -g | head -1; }

bare_slice() {
    local out="$work/bare/"; rm -rf "$out"; mkdir -p "$out"
    local t0; t0=$(now)
    ffmpeg -nostdin -y -i "$clip" -c copy -bsf:v h264_mp4toannexb -hls_time 30 -hls_list_size 0 "$out/p.m3u8" \
        >/dev/null 2>&1
    awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.3f\n", a - b }'
}
bare_transcode() {
    local out="$work/bare/"; rm -rf "$out"; mkdir -p "$out"
    local t0; t0=$(now)
    # shellcheck disable=SC2086
    ffmpeg -nostdin -y -i "$clip" -max_muxing_queue_size 1024 -vcodec h264 $quality "$out/t.mp4" >/dev/null 2>&1
    ffmpeg -nostdin -y -i "$out/t.mp4" -c copy -bsf:v h264_mp4toannexb -hls_time 30 -hls_list_size 0 "$out/p.m3u8" \
        >/dev/null 2>&1
    awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.3f\n", a - b }'
}

report() {
    local name=$1 bare=$2 stage=$3
    printf '%-22s bare ffmpeg %8.3f s   stage %8.3f s   ratio %.3f\n' "$name" "$bare" "$stage" \
        "$(awk -v a="$stage" -v b="$bare" 'BEGIN { print a / b }')"
}

# Bare and stage runs alternate, so that load from elsewhere hits both alike; best of each.
compare() {
    local name=$1 bare_fn=$2 mode=$3 q=$4 bare=() stage=()
    for _ in $(seq "$runs"); do
        bare+=("$($bare_fn)")
        stage+=("$("$bench" "$clip" "$mode" "$q" 1)")
    done
    report "$name" "$(printf '%s\n' "${bare[@]}" | best)" "$(printf '%s\n' "${stage[@]}" | best)"
}

compare "slice only" bare_slice slice ""
compare "transcode + slice" bare_transcode transcode "$quality"

# What the stage's own steps cost, each against the bare command it adds to: the browser's
# pixels and AAC in the transcode; the copying run ended and made again with AAC for audio
# segments can't carry (PCM), against the one bare run that encodes it.
browser_transcode() {
    local out="$work/bare/"; rm -rf "$out"; mkdir -p "$out"
    local t0; t0=$(now)
    # shellcheck disable=SC2086
    ffmpeg -nostdin -y -i "$clip" -max_muxing_queue_size 1024 -vcodec h264 $quality \
        -vf 'scale=trunc(iw/2)*2:trunc(ih/2)*2,format=yuv420p' -pix_fmt yuv420p -c:a aac "$out/t.mp4" >/dev/null 2>&1
    ffmpeg -nostdin -y -i "$out/t.mp4" -c copy -bsf:v h264_mp4toannexb -hls_time 30 -hls_list_size 0 "$out/p.m3u8" \
        >/dev/null 2>&1
    awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.3f\n", a - b }'
}
pcm_clip="$work/clip pcm 60s.mov"
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -c:v copy -c:a pcm_s16le "$pcm_clip"
bare_pcm_slice() {
    local out="$work/bare/"; rm -rf "$out"; mkdir -p "$out"
    local t0; t0=$(now)
    ffmpeg -nostdin -y -i "$pcm_clip" -c:v copy -c:a aac -bsf:v h264_mp4toannexb -hls_time 30 -hls_list_size 0 "$out/p.m3u8" \
        >/dev/null 2>&1
    awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.3f\n", a - b }'
}
plain=(); browser=(); pcm_bare=(); pcm_stage=()
for _ in $(seq "$runs"); do
    plain+=("$(bare_transcode)"); browser+=("$(browser_transcode)")
    pcm_bare+=("$(bare_pcm_slice)"); pcm_stage+=("$("$bench" "$pcm_clip" slice "" 1)")
done
report "4:2:0, even size, AAC" "$(printf '%s\n' "${plain[@]}" | best)" "$(printf '%s\n' "${browser[@]}" | best)"
report "PCM audio made AAC" "$(printf '%s\n' "${pcm_bare[@]}" | best)" "$(printf '%s\n' "${pcm_stage[@]}" | best)"
