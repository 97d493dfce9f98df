#!/usr/bin/env bash
# Generates the bench media with the ffmpeg command-line tool (once per work folder), builds
# convert_bench, overview_bench and player_bench and runs them; the player's summary line comes last.
#   bench/run.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
work="${2:-${TMPDIR:-/tmp}/qac-bench}"
ffmpeg="${FFMPEG:-ffmpeg}"
gen=("$ffmpeg" -nostdin -hide_banner -loglevel error -y)

mkdir -p "$work"
# 10 minutes of a stereo 44.1 kHz sine, as WAV, FLAC and MP3.
if [ ! -s "$work/long.wav" ]; then
    "${gen[@]}" -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=600" \
        -c:a pcm_s16le "$work/long.wav"
fi
[ -s "$work/long.flac" ] || "${gen[@]}" -i "$work/long.wav" -c:a flac "$work/long.flac"
[ -s "$work/long.mp3" ] || "${gen[@]}" -i "$work/long.wav" -c:a libmp3lame -b:a 192k "$work/long.mp3"
# One second of a stereo 44.1 kHz tone: the batches are links to it.
[ -s "$work/short.wav" ] || "${gen[@]}" -f lavfi \
    -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=1" -c:a pcm_s16le "$work/short.wav"
[ -s "$work/short.mp3" ] || "${gen[@]}" -i "$work/short.wav" -c:a libmp3lame -b:a 192k "$work/short.mp3"

cmake --build "$build" --target convert_bench player_bench joblist_bench overview_bench
"$build/bench/convert_bench" "$work" "$ffmpeg" ${BENCH_ARGS:-}
"$build/app/joblist_bench" "$work/short.mp3" "$work" "${JOBLIST_COUNT:-10000}"
"$build/bench/overview_bench" "$work" "$ffmpeg"
"$build/bench/player_bench" "$work" "${FFPLAY:-ffplay}"
