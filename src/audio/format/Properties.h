#pragma once

// The property list a reader fills to describe an opened file.

#include <string>
#include <vector>

#include "audio/format/Format.h"

namespace Audio::IO {

struct Property {
    enum Kind { Computed = 0, FileTag = 1 };
    int kind = Computed;
    std::string key;
    std::string value;
};

using PropertyList = std::vector<Property>;

// Appends "filename-extension", "mime-type", "sample-rate", "channels" and
// (when the stream's length is known) "frame-count", from the stream's tag
// and length.
void AppendStreamProperties(PropertyList& list, const iStream& stream, const char* extension,
                            const char* mimeType);
// Appends "bits-per-sample", "bytes-per-sample", "bytes-per-frame",
// "sample-type".
void AppendFormatProperties(PropertyList& list, const Format& format);

}  // namespace Audio::IO
