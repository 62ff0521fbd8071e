#!/bin/sh
# Builds the libFuzzer targets (clang only): fuzz/build.sh [output-dir]
# Then, for example:
#   build-fuzz/wav_reader_fuzz -max_total_time=600 -timeout=10 fuzz/corpus/wav_reader
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/build-fuzz}
CXX=${CXX:-clang++-14}
mkdir -p "$out/obj"

flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -I$root/src -I$here $(pkg-config --cflags wavpack)"
sources="stream/Stream.cpp stream/Crop.cpp stream/Reblock.cpp
         audio/format/Format.cpp audio/format/Properties.cpp audio/format/SilenceFiller.cpp
         audio/format/ScaleDither.cpp audio/format/Translator.cpp audio/format/TranslatorKernels.cpp
         audio/io/IFF.cpp audio/io/WAVParser.cpp audio/io/WVDecoder.cpp"

objects=""
for s in $sources; do
    o="$out/obj/$(echo "$s" | tr / _).o"
    $CXX $flags -fsanitize=fuzzer-no-link -c "$root/src/$s" -o "$o"
    objects="$objects $o"
done
for target in wav_reader_fuzz wavpack_reader_fuzz; do
    $CXX $flags -fsanitize=fuzzer "$here/$target.cpp" $objects $(pkg-config --libs wavpack) \
        -o "$out/$target"
done
echo "built $out/wav_reader_fuzz $out/wavpack_reader_fuzz"
