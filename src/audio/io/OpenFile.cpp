#include "audio/io/OpenFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <exception>
#include <string>

#include "audio/io/AIFFParser.h"
#include "audio/io/FLACDecoder.h"
#include "audio/io/WAVParser.h"
#include "audio/io/WVDecoder.h"
#include "stream/Hash.h"

namespace Audio::IO {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The stream, behind an MD5 stage over its format's 8 bytes and its samples when `digest` is given.
Audio::Stream::Wrapper<::Stream::iOver> Hashed(Audio::Stream::Wrapper<::Stream::iOver> stream,
                                               MD5::Hash* digest) {
    if (!digest) return stream;
    std::uint8_t prefix[8];
    stream.format().toBytes(prefix);
    return ::Stream::Hash(*digest, stream, slice<const unsigned char>(prefix, sizeof prefix));
}

// Refuses a name that is no longer a regular file (a FIFO, a device or a folder put in its place
// after a walk found it): a reader's open would wait on a FIFO for a writer, and no stop
// request could end it. Opened without waiting, to be looked at; a name that cannot be opened
// is left to the reader, which says why. The file, watched from here on for `details`.
void RequireRegularFile(const std::string& text, InputDetails* details) {
    const int fd = ::open(text.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && details) {
        details->watch = std::make_shared<FileWatch>(fd);
        return;
    }
    ::close(fd);
    if (regular) return;
    try {
        throw std::runtime_error(text + ": not a regular file");
    } catch (const std::runtime_error&) {
        std::throw_with_nested(FileError());
    }
}

}  // namespace

Audio::Stream::Wrapper<::Stream::iOver> OpenFile(const Filesystem::Path& path,
                                                 PropertyList* properties, MD5::Hash* digest,
                                                 InputDetails* details) {
    const std::string extension = Lower(path.Extension());
    const std::string text = path.ToString('/');
    Audio::Stream::Wrapper<::Stream::iOver> stream;
    RequireRegularFile(text, details);
    if (extension == ".wav") {
        try {
            stream = WAVParser::Open(text, properties, details);
        } catch (const WAVParser::exception&) {
            std::throw_with_nested(FileError());
        }
    } else if (extension == ".aif" || extension == ".aiff" || extension == ".aifc") {
        try {
            stream = AIFFParser::Open(text, properties, details);
        } catch (const AIFFParser::exception&) {
            std::throw_with_nested(FileError());
        }
    } else if (extension == ".wv") {
        try {
            stream = WVDecoder::Open(text, properties, details);
        } catch (const WVParser::exception&) {
            std::throw_with_nested(FileError());
        }
    } else if (extension == ".flac") {
        try {
            stream = FLACDecoder::Open(text, properties, details);
        } catch (const FLACParser::exception&) {
            std::throw_with_nested(FileError());
        }
    } else {
        throw OpenError();
    }
    return Hashed(std::move(stream), digest);
}

Audio::Stream::Wrapper<::Stream::iOver> OpenWaveStream(std::FILE* file, PropertyList* properties,
                                                       MD5::Hash* digest, InputDetails* details) {
    Audio::Stream::Wrapper<::Stream::iOver> stream;
    try {
        stream = WAVParser::Open(file, properties, details);
    } catch (const WAVParser::exception&) {
        std::throw_with_nested(FileError());
    }
    return Hashed(std::move(stream), digest);
}

}  // namespace Audio::IO
