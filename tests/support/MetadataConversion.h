#pragma once

// Conversions of the metadata tests: an input converted to int24 through one
// writer into a folder of its own, and the metadata a reader finds in a file.

#include <string>
#include <vector>

#include "audio/io/OpenFile.h"
#include "job/Conversion.h"

namespace MetaTest {

// Converts `in` to int24 at `rate` through writer `writerId` into `folder` (created); the
// output's path.
inline std::string ConvertInto(const std::string& folder, const std::string& in, int writerId,
                               const char* extension, float rate, const ConversionSettings& s,
                               std::vector<std::string>* warnings = nullptr) {
    OutputOptions o;
    o.writerId = writerId;
    o.extension = extension;
    o.directory = Filesystem::Path::Parse(folder, Filesystem::Path::Kind::Directory);
    o.createDirectory = true;
    return ConvertFile(Filesystem::Path::Parse(in, Filesystem::Path::Kind::File),
                       Audio::Format::FromBytes(0x23, 24, 0, 0, rate), s, nullptr, o, warnings)
        .NativeText();
}

// The metadata of the file at `path`, and the reader's warnings.
inline Audio::IO::Metadata ReadMetadataOf(const std::string& path,
                                          std::vector<std::string>* warnings = nullptr) {
    Audio::IO::InputDetails d;
    Audio::IO::OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr,
                        nullptr, &d);
    if (warnings) *warnings = d.warnings;
    return d.metadata;
}

}  // namespace MetaTest
