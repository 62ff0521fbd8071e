#!/usr/bin/env bash
# FLAC throughput on ten minutes of 24-bit stereo at 44100 Hz (music-like:
# two tones and noise): tessival-cli's FLAC writer and reader beside the flac
# command-line tool (compression level 5 for both), in input frames per
# second, best of the runs. Also a whole conversion of the FLAC file to
# 48000 Hz int24 WAVE, to compare the reading with what follows it.
#   encode: flac -5 WAV -> FLAC            | tessival-cli --container flac (WAV read included)
#   decode: flac -d to /dev/null (MD5 check) | tessival-cli --info (decode and MD5)
#   bench/flac_throughput.sh [build-dir] [runs]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
runs="${2:-3}"
. "$root/bench/common.sh"
need sox flac
cli=$(cli_in "$build")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frames=$((600 * 44100))
sox -n -r 44100 -c 2 -b 24 "$work/ten.wav" synth 600 sine 997 sine 1500 whitenoise gain -6
mkdir -p "$work/out" "$work/conv"

# Seconds a command takes, best of $runs.
best() {
  local b=""
  for _ in $(seq "$runs"); do
    local s e t
    s=$(date +%s.%N)
    "$@" >/dev/null
    e=$(date +%s.%N)
    t=$(echo "$e - $s" | bc)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}
rate() { echo "scale=0; $frames / $1" | bc; }

t_fe=$(best flac -s -f -5 "$work/ten.wav" -o "$work/ref.flac")
t_fd=$(best sh -c "flac -s -d -c '$work/ref.flac' >/dev/null")
t_te=$(best "$cli" -q --container flac -t int24 -r 44100 -o "$work/out" "$work/ten.wav")
ours=$(ls "$work"/out/*.flac | head -1)
t_td=$(best "$cli" --info "$work/ref.flac")
t_tc=$(best "$cli" -q -t int24 -r 48000 -o "$work/conv" "$work/ref.flac")

printf '%-34s %8s s %12s frames/s\n' \
  "encode flac -5" "$t_fe" "$(rate "$t_fe")" \
  "encode tessival-cli" "$t_te" "$(rate "$t_te")" \
  "decode flac -d" "$t_fd" "$(rate "$t_fd")" \
  "decode tessival-cli --info" "$t_td" "$(rate "$t_td")" \
  "convert FLAC 44100 -> 48000 int24" "$t_tc" "$(rate "$t_tc")"
echo "sizes: flac $(stat -c %s "$work/ref.flac") bytes, tessival $(stat -c %s "$ours") bytes"
flac -s -t "$ours" && echo "flac -t: the tessival file decodes and its MD5 checks"
