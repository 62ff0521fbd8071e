#include "audio/format/Properties.h"

#include <cstdio>

namespace Audio::IO {

namespace {

template <class... A>
std::string format(const char* pattern, A... args) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

void add(PropertyList& list, const char* key, std::string value) {
    list.push_back({Property::Computed, key, std::move(value)});
}

}  // namespace

void AppendStreamProperties(PropertyList& list, const iStream& stream, const char* extension,
                            const char* mimeType) {
    const Format f = stream.getTag<Stream::Tag>().format;
    add(list, "filename-extension", extension);
    add(list, "mime-type", mimeType);
    add(list, "sample-rate", format("%.8g", static_cast<double>(f.sampleRate)));
    add(list, "channels", format("%d", static_cast<int>(f.channels())));
    if (stream.length >= 0 && f.bytesPerFrame() != 0)
        add(list, "frame-count",
            format("%lld", static_cast<long long>(stream.length / f.bytesPerFrame())));
}

void AppendFormatProperties(PropertyList& list, const Format& f) {
    add(list, "bits-per-sample", format("%d", static_cast<int>(f.bitsPerSample())));
    add(list, "bytes-per-sample", format("%d", static_cast<int>(f.bytesPerSample())));
    add(list, "bytes-per-frame", format("%d", static_cast<int>(f.bytesPerFrame())));
    add(list, "sample-type", f.sampleType() == Format::Float ? "IEEE float" : "integer");
}

}  // namespace Audio::IO
