#!/usr/bin/env bash
# Generates the bench media with the ffmpeg command-line tool (once per work folder), builds
# the benches and runs them; the player's summary line comes last.
#   bench/run.sh [BUILD_DIR] [WORK_DIR]
# BENCH_QUICK=1 runs every bench with the smallest counts that show it works (one run each, short
# playbacks, small lists): a check of the benches, not figures.
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
# Two seconds of it for the batch mode's files.
[ -s "$work/short2.wav" ] || "${gen[@]}" -f lavfi \
    -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=2" -c:a pcm_s16le "$work/short2.wav"

if [ -n "${BENCH_QUICK:-}" ]; then
    convert_quick=(--runs 1 --max-batch 10 --batch-mode-files 20)
    joblist_count=200 program_quick=(200 --runs 1) player_quick=(--runs 1 --play-runs 1 --seconds 3)
else
    convert_quick=() joblist_count="${JOBLIST_COUNT:-10000}" program_quick=() player_quick=()
fi

cmake --build "$build" --target convert_bench player_bench joblist_bench overview_bench program_bench \
    quendral-audio-converter
"$build/bench/convert_bench" "$work" "$ffmpeg" --program "$build/app/quendral-audio-converter" \
    "${convert_quick[@]}" ${BENCH_ARGS:-}
"$build/app/joblist_bench" "$work/short.mp3" "$work" "$joblist_count"
"$build/bench/program_bench" "$build/app/quendral-audio-converter" "$work/short.mp3" "$work" \
    "${program_quick[@]}"
"$build/bench/overview_bench" "$work" "$ffmpeg"
"$build/bench/player_bench" "$work" "${FFPLAY:-ffplay}" "${player_quick[@]}"
