#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer: fuzz/build.sh [build-dir]
# Then, for example:
#   build-fuzz/fuzz/wav_reader_fuzz -max_total_time=600 -timeout=10 fuzz/corpus/wav_reader
# or scripts/fuzz, which runs every target for a given time.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/build-fuzz}
cxx=${CXX:-clang++-14}
command -v "$cxx" >/dev/null || cxx=clang++
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DTESSIVAL_FUZZ=ON -DTESSIVAL_SANITIZE=address,undefined \
    -DTESSIVAL_TESTS=OFF -DTESSIVAL_BENCH=OFF -DTESSIVAL_GUI=OFF >/dev/null
cmake --build "$out" -j "${FUZZ_BUILD_JOBS:-2}" --target \
    wav_reader_fuzz aiff_reader_fuzz wavpack_reader_fuzz flac_reader_fuzz path_parse_fuzz settings_fields_fuzz conversion_fuzz
echo "built in $out/fuzz"
