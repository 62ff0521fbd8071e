#!/usr/bin/env bash
# One long file on one worker against two: converts a 60-minute 24-bit stereo
# 44100 Hz input to 48000 int24 with `tessival-cli -j 1` (one worker: the whole
# chain on one thread) and `-j 2` (a second, idle worker reads, decodes and runs
# the first filter stage ahead), alternating runs, and prints each wall time,
# the medians, the ratio (-j 1 / -j 2), whether the outputs are identical, and
# the peak memory of each. With perf installed it also prints the CPU time of
# each thread of one -j 1 and one -j 2 run and the ratio an idle two-core
# machine would give (CPU of -j 1 / CPU of the busier -j 2 thread): on a
# shared machine the wall times mostly show the other load; the share of time the host stole
# during each run is printed, and the ratio of the pairs it left alone. The input is made
# in a temporary folder inside the build folder, removed at the end.
#   bench/split_file.sh [build-dir] [runs] [minutes]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
runs="${2:-5}"
minutes="${3:-60}"
. "$root/bench/common.sh"
need sox
cli=$(cli_in "$build")

work=$(mktemp -d "$build/split_file.XXXXXX")
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 24 "$work/long.wav" synth $((minutes * 60)) sine 997 pinknoise gain -3
mkdir -p "$work/j1" "$work/j2"

# The machine's stolen and total jiffies so far (/proc/stat): the time the host gave this
# virtual machine's processors to others.
jiffies() { awk '/^cpu / {t = 0; for (i = 2; i <= NF; i++) t += $i; print $9, t}' /proc/stat; }

# Wall seconds, peak RSS (KiB), system seconds and the percentage of the machine's time stolen
# by the host during one conversion into folder $2 with -j $1.
run() {
  local out s0 t0 s1 t1
  read -r s0 t0 < <(jiffies)
  out=$( { /usr/bin/time -f "%e %M %S" "$cli" -q -j "$1" --seed 7 -r 48000 -t int24 -o "$work/$2" \
           "$work/long.wav" >/dev/null; } 2>&1 | tail -1)
  read -r s1 t1 < <(jiffies)
  echo "$out $(( (s1 - s0) * 100 / (t1 > t0 ? t1 - t0 : 1) ))"
}

t1=(); t2=(); m1=0; m2=0; st1=(); st2=(); k1=(); k2=(); quiet=()
for i in $(seq "$runs"); do
  rm -f "$work"/j1/* "$work"/j2/*
  if [ $((i % 2)) = 1 ]; then
    read -r a ma ka sa < <(run 1 j1); read -r b mb kb sb < <(run 2 j2)
  else
    read -r b mb kb sb < <(run 2 j2); read -r a ma ka sa < <(run 1 j1)
  fi
  t1+=("$a"); t2+=("$b"); st1+=("$sa"); st2+=("$sb"); k1+=("$ka"); k2+=("$kb")
  # Pairs the host left alone (under 5 % stolen in both runs).
  [ "$sa" -lt 5 ] && [ "$sb" -lt 5 ] && quiet+=("$(echo "scale=3; $a / $b" | bc)")
  [ "$ma" -gt "$m1" ] && m1=$ma
  [ "$mb" -gt "$m2" ] && m2=$mb
  cmp -s "$work"/j1/*.wav "$work"/j2/*.wav || { echo "run $i: outputs differ"; exit 1; }
done
a=$(median "${t1[@]}"); b=$(median "${t2[@]}")
echo "input: $minutes min, 44100 Hz 24-bit stereo -> 48000 int24, --seed 7"
echo "-j 1 times: ${t1[*]}"
echo "-j 2 times: ${t2[*]}"
echo "median -j 1 ${a}s, -j 2 ${b}s, ratio $(echo "scale=3; $a / $b" | bc)"
echo "stolen by the host, % of each run: -j 1 ${st1[*]}; -j 2 ${st2[*]}"
# The kernel's share (page cache, file copies) swings between runs on some virtual machines
# even where nothing is stolen.
echo "system seconds of each run: -j 1 ${k1[*]}; -j 2 ${k2[*]}"
if [ ${#quiet[@]} -gt 0 ]; then
  echo "ratio of the ${#quiet[@]} pairs under 5 % stolen: ${quiet[*]}, median $(median "${quiet[@]}")"
else
  echo "no pair ran under 5 % stolen: the wall times show the host"
fi
echo "outputs identical in every run (cmp)"
echo "peak RSS -j 1 ${m1} KiB, -j 2 ${m2} KiB"

command -v perf >/dev/null || exit 0
# CPU seconds per thread (task-clock samples of 1 ms), busiest first.
threads() {
  rm -f "$work"/$2/*
  perf record -q -e task-clock -c 1000000 -o "$work/perf.data" \
    "$cli" -q -j "$1" --seed 7 -r 48000 -t int24 -o "$work/$2" "$work/long.wav" >/dev/null 2>&1
  perf report -i "$work/perf.data" --sort pid -F period,pid --stdio 2>/dev/null |
    awk '$1 ~ /^[0-9]+$/ {printf "%.2f\n", $1 / 1e9}' | sort -gr
}
c1=($(threads 1 j1)); c2=($(threads 2 j2))
s1=$(printf '%s\n' "${c1[@]}" | awk '{s += $1} END {print s}')
s2=$(printf '%s\n' "${c2[@]}" | awk '{s += $1} END {print s}')
echo "CPU seconds per thread: -j 1 ${c1[*]} (sum $s1); -j 2 ${c2[*]} (sum $s2)"
echo "ratio on an idle machine (CPU -j 1 / busiest -j 2 thread): $(echo "scale=3; $s1 / ${c2[0]}" | bc)"
