#!/usr/bin/env bash
# Wall time of a four-file batch with two workers against one.
#
#   bench/batch_parallel.sh [build-dir] [runs] [minutes]
#
# Makes four 24-bit stereo 44100 Hz files of MINUTES minutes each (default
# 5) in a folder of its own, converts them to 48000 Hz int24 with `-j 1`
# and `-j 2` in alternating runs (RUNS of each, default 5, with --seed so
# that the outputs of both can be compared byte for byte), and prints the
# times, the median wall-time ratio -j 2 / -j 1 and whether the outputs are
# identical.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
runs="${2:-5}"
minutes="${3:-5}"
. "$root/bench/common.sh"
need sox
cli=$(cli_in "$build")

work=$(mktemp -d "${TMPDIR:-/tmp}/tessival-batch-parallel.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/one" "$work/two"
seconds=$(echo "$minutes * 60" | bc)
for k in 1 2 3 4; do
  sox -n -r 44100 -c 2 -b 24 "$work/in/take$k.wav" synth "$seconds" sine $((300 * k)) sine 1500 gain -1
done

run() {  # run JOBS OUTDIR: prints the wall time in seconds
  rm -f "$2"/*
  local s e
  s=$(date +%s.%N)
  "$cli" -q -j "$1" --seed 7 -r 48000 -t int24 -o "$2" "$work"/in/*.wav >/dev/null
  e=$(date +%s.%N)
  echo "$e - $s" | bc
}

t1=()
t2=()
for _ in $(seq "$runs"); do
  t1+=("$(run 1 "$work/one")")
  t2+=("$(run 2 "$work/two")")
done
m1=$(median "${t1[@]}")
m2=$(median "${t2[@]}")
echo "-j 1 times: ${t1[*]}"
echo "-j 2 times: ${t2[*]}"
echo "median -j 1 ${m1}s, -j 2 ${m2}s, ratio -j 2 / -j 1 $(echo "scale=3; $m2 / $m1" | bc)"
same=yes
for f in "$work"/one/*.wav; do
  cmp -s "$f" "$work/two/$(basename "$f")" || same=no
done
echo "outputs identical: $same"
