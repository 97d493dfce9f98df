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

mkdir -p "$work/batch"
# 10 minutes of a stereo 44.1 kHz sine, as WAV, FLAC and MP3.
if [ ! -s "$work/long.wav" ]; then
    "${gen[@]}" -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=600" \
        -c:a pcm_s16le "$work/long.wav"
fi
[ -s "$work/long.flac" ] || "${gen[@]}" -i "$work/long.wav" -c:a flac "$work/long.flac"
[ -s "$work/long.mp3" ] || "${gen[@]}" -i "$work/long.wav" -c:a libmp3lame -b:a 192k "$work/long.mp3"
# 100 stereo 44.1 kHz WAV files of 10 seconds, each with its own frequency.
for i in $(seq -w 1 100); do
    f="$work/batch/tone$i.wav"
    [ -s "$f" ] && continue
    freq=$((200 + 10#$i * 10))
    "${gen[@]}" -f lavfi -i "aevalsrc=0.5*sin(2*PI*$freq*t)|0.5*sin(2*PI*$freq*t):s=44100:d=10" \
        -c:a pcm_s16le "$f"
done

cmake --build "$build" --target convert_bench player_bench overview_bench
"$build/bench/convert_bench" "$work" "$ffmpeg"
"$build/bench/overview_bench" "$work" "$ffmpeg"
"$build/bench/player_bench" "$work" "${FFPLAY:-ffplay}"
