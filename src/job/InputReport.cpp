#include "job/InputReport.h"

#include <cstdio>

#include "audio/io/OpenFile.h"
#include "stream/Adapt.h"
#include "stream/Drain.h"

InputReport Inspect(const Filesystem::Path& path) {
    InputReport report;
    Audio::IO::PropertyList props;
    MD5::Hash digest{};
    Audio::IO::InputDetails details;
    {
        auto stream = Audio::IO::OpenFile(path, &props, &digest, &details);
        Stream::Wrapper<Stream::iUnder> pull(__adapt<Stream::iUnder>::from(stream));
        stream.reset();
        Stream::drain(std::move(pull), nullptr);
    }  // the digest is final once the chain is released
    for (const auto& p : props) report.properties.emplace_back(p.key, p.value);
    char hex[3];
    for (std::uint8_t b : digest) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        report.md5 += hex;
    }
    report.warnings = std::move(details.warnings);
    return report;
}
