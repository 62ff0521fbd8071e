#pragma once

// What a user may ask of an input without converting it (--info).

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "filesystem/Path.h"

struct InputReport {
    // The reader's properties in its order: "sample-rate" -> "44100", ...
    std::vector<std::pair<std::string, std::string>> properties;
    // MD5 of the decoded audio as FLAC's STREAMINFO computes it (signed
    // little-endian integers of the stored width, or IEEE floats), 32 hex digits.
    std::string md5;
    // Tags and markers, one field each: "bext.time-reference" ->
    // "172800000 (01:00:00.000)" (positions in frames and as a clock).
    std::vector<std::pair<std::string, std::string>> metadata;
    std::vector<std::string> warnings;
};

// Opens and decodes the whole input. Throws what opening or reading throws
// (DescribeFailure words it).
InputReport Inspect(const Filesystem::Path& path);

// The input's length in seconds, from its header alone (nothing is decoded); none when the file
// cannot be opened or does not state its length. Never throws.
std::optional<double> InputSeconds(const Filesystem::Path& path) noexcept;
