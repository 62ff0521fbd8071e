#!/usr/bin/env bash
# Alternating runs of two tessival-cli builds on ten minutes of 24-bit stereo,
# 44100 -> 48000 int24 with a fixed dither seed: median wall, user and system
# seconds of each, and the distinct output checksums (one per build when the
# output is reproducible). CPU seconds are steadier than wall time on a shared
# machine.
#   bench/cli_ab.sh CLI_A CLI_B [runs]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 CLI_A CLI_B [runs]"; exit 1; }
a="$1"; b="$2"; runs="${3:-9}"
. "$(cd "$(dirname "$0")" && pwd)/common.sh"
need sox
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 24 "$work/ten.wav" synth 600 sine 997 sine 1500 gain -1
mkdir -p "$work/out"
for i in $(seq "$runs"); do
  for which in A B; do
    cli=$a; [ $which = B ] && cli=$b
    /usr/bin/time -f "$which %e %U %S" -a -o "$work/times" \
      "$cli" -q -r 48000 -t int24 --seed 1 -o "$work/out" "$work/ten.wav" >/dev/null
    md5sum "$work"/out/*.wav | awk -v w=$which '{print w, $1}' >> "$work/sums"
    rm -f "$work"/out/*
  done
done
for which in A B; do
  for col in 2 3 4; do
    grep "^$which " "$work/times" | awk -v c=$col '{print $c}' | sort -g |
      awk '{v[NR]=$1} END {printf "%s ", v[int((NR+1)/2)]}'
  done
  echo "<- $which: median wall, user, system seconds"
done
sort -u "$work/sums"
