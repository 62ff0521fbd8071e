#!/usr/bin/env bash
# Converts ten minutes of 24-bit stereo 44100 -> 48000 int24 with tessival-cli
# and with sox's very-high-quality rate effect, alternating runs, and prints
# the times, the median ratio and the peak memory of tessival-cli for a
# 10-minute and a 60-minute input.
#   bench/cli_vs_sox.sh [build-dir] [runs]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
runs="${2:-5}"
cli="$build/src/cli/tessival-cli"
command -v sox >/dev/null || { echo "sox is needed (apt-get install sox)"; exit 1; }
[ -x "$cli" ] || { echo "build tessival-cli first ($cli)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 24 "$work/ten.wav" synth 600 sine 997 sine 1500 gain -1
mkdir -p "$work/out"

t_tess=()
t_sox=()
for i in $(seq "$runs"); do
  s=$(date +%s.%N)
  "$cli" -q -r 48000 -t int24 -o "$work/out" "$work/ten.wav" >/dev/null
  e=$(date +%s.%N)
  t_tess+=("$(echo "$e - $s" | bc)")
  rm -f "$work"/out/*
  s=$(date +%s.%N)
  sox "$work/ten.wav" -b 24 "$work/out/sox.wav" rate -v 48000
  e=$(date +%s.%N)
  t_sox+=("$(echo "$e - $s" | bc)")
  rm -f "$work"/out/*
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mt=$(median "${t_tess[@]}")
ms=$(median "${t_sox[@]}")
echo "tessival-cli times: ${t_tess[*]}"
echo "sox rate -v times:  ${t_sox[*]}"
echo "median tessival ${mt}s, sox ${ms}s, ratio tessival/sox $(echo "scale=3; $mt / $ms" | bc)"

peak() { /usr/bin/time -f %M "$cli" -q -r 48000 -t int24 -o "$work/out" "$1" 2>&1 >/dev/null | tail -1; }
p10=$(peak "$work/ten.wav"); rm -f "$work"/out/*
sox -n -r 44100 -c 2 -b 24 "$work/sixty.wav" synth 3600 sine 997 gain -1
p60=$(peak "$work/sixty.wav"); rm -f "$work"/out/*
echo "peak memory: 10 min ${p10} KiB, 60 min ${p60} KiB"
