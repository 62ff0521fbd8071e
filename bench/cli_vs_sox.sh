#!/usr/bin/env bash
# Converts ten minutes of 24-bit stereo 44100 -> 48000 int24 with tessival-cli
# and with sox's very-high-quality rate effect, alternating runs, and prints
# the times, the median ratio, the tone quality of both outputs (997 Hz on the
# left channel: amplitude error and THD+N over one second from the middle,
# quantisation and dither included) and the peak memory of tessival-cli for a
# 10-minute and a 60-minute input.
#   bench/cli_vs_sox.sh [build-dir] [runs]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
runs="${2:-5}"
. "$root/bench/common.sh"
need sox
cli=$(cli_in "$build")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 24 "$work/ten.wav" synth 600 sine 997 sine 1500 gain -1
mkdir -p "$work/out"

# Amplitude error and THD+N (dB) of the 997 Hz tone on channel 0 of a
# 24-bit stereo WAVE file: least-squares fit at the exact frequency, free
# phase, over one second from the middle (after the pre-ring if any).
quality() {
  python3 - "$1" <<'PY'
import math, struct, sys
data = open(sys.argv[1], "rb").read()
pos, rate, align, body = 12, 0, 0, b""
while pos + 8 <= len(data):  # RIFF chunks (24-bit PCM expected, extensible or not)
    cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
    if cid == b"fmt ":
        rate, align = struct.unpack("<I", data[pos + 12:pos + 16])[0], data[pos + 20]
    elif cid == b"data":
        body = data[pos + 8:pos + 8 + size]
        break
    pos += 8 + size + (size & 1)
assert align == 6, "24-bit stereo expected"
n = len(body) // 6
start = n // 2
y = [int.from_bytes(body[6 * j:6 * j + 3], "little", signed=True) / 8388608.0
     for j in range(start, start + rate)]
x = [997.0 * (start + j) / rate for j in range(len(y))]
s = [math.sin(2 * math.pi * (t - math.floor(t))) for t in x]
c = [math.cos(2 * math.pi * (t - math.floor(t))) for t in x]
ss, sc, cc = sum(a * a for a in s), sum(a * b for a, b in zip(s, c)), sum(b * b for b in c)
ys, yc = sum(a * b for a, b in zip(y, s)), sum(a * b for a, b in zip(y, c))
det = ss * cc - sc * sc
A, B = (ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det
fit = [A * a + B * b for a, b in zip(s, c)]
res = sum((u - f) ** 2 for u, f in zip(y, fit))
sig = sum(f * f for f in fit)
amp = 20 * math.log10(math.hypot(A, B) / 10 ** (-1 / 20))
print("amplitude error %.4f dB, THD+N %.1f dB" % (amp, 10 * math.log10(res / sig)))
PY
}

t_tess=()
t_sox=()
for i in $(seq "$runs"); do
  s=$(date +%s.%N)
  "$cli" -q -r 48000 -t int24 -o "$work/out" "$work/ten.wav" >/dev/null
  e=$(date +%s.%N)
  t_tess+=("$(echo "$e - $s" | bc)")
  if [ "$i" = 1 ]; then q_tess=$(quality "$(ls "$work"/out/*.wav | head -1)"); fi
  rm -f "$work"/out/*
  s=$(date +%s.%N)
  sox "$work/ten.wav" -b 24 "$work/out/sox.wav" rate -v 48000
  e=$(date +%s.%N)
  t_sox+=("$(echo "$e - $s" | bc)")
  if [ "$i" = 1 ]; then q_sox=$(quality "$work/out/sox.wav"); fi
  rm -f "$work"/out/*
done
mt=$(median "${t_tess[@]}")
ms=$(median "${t_sox[@]}")
echo "tessival-cli times: ${t_tess[*]}"
echo "sox rate -v times:  ${t_sox[*]}"
echo "median tessival ${mt}s, sox ${ms}s, ratio tessival/sox $(echo "scale=3; $mt / $ms" | bc)"
echo "quality tessival: $q_tess"
echo "quality sox:      $q_sox"

peak() { /usr/bin/time -f %M "$cli" -q -r 48000 -t int24 -o "$work/out" "$1" 2>&1 >/dev/null | tail -1; }
p10=$(peak "$work/ten.wav"); rm -f "$work"/out/*
sox -n -r 44100 -c 2 -b 24 "$work/sixty.wav" synth 3600 sine 997 gain -1
p60=$(peak "$work/sixty.wav"); rm -f "$work"/out/*
echo "peak memory: 10 min ${p10} KiB, 60 min ${p60} KiB"
