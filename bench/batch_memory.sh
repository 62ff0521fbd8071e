#!/usr/bin/env bash
# Peak resident memory of one tessival-cli run over many tiny files.
#
#   bench/batch_memory.sh BUILD_DIR [FILES] [JOBS]
#
# Makes FILES (default 30000) WAV files of 100 stereo frames in a folder of
# its own, converts them all to 48000 Hz int24 in one run with -j JOBS
# (default: the processors), prints the peak RSS and the time, and removes
# the folder.
set -euo pipefail
build=$(realpath "$1")
files=${2:-30000}
jobs=${3:-$(nproc)}
cli="$build/src/cli/tessival-cli"
work=$(mktemp -d "${TMPDIR:-/tmp}/tessival-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/out"
"$cli" --make-demo "$work/demo.wav" >/dev/null
# 100 frames of the demo: the 44-byte header with the sizes patched.
python3 - "$work/demo.wav" "$work/in" "$files" <<'PY'
import struct, sys
src, folder, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
d = open(src, 'rb').read()
i = d.index(b'data')
body = d[i + 8:i + 8 + 400]
head = bytearray(d[:i + 8])
head[4:8] = struct.pack('<I', len(head) - 8 + len(body))
head[i + 4:i + 8] = struct.pack('<I', len(body))
blob = bytes(head) + body
for k in range(n):
    with open(f'{folder}/f{k:06d}.wav', 'wb') as f:
        f.write(blob)
PY
/usr/bin/time -f "%M KiB peak RSS, %e s, $files files, -j $jobs" \
  "$cli" -q -j "$jobs" -r 48000 -t int24 -o "$work/out" "$work/in" >/dev/null
echo "outputs: $(find "$work/out" -type f | wc -l)" >&2
