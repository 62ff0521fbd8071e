#pragma once

// Input opening: picks the reader by the file name's extension (".wav",
// ".aif", ".aiff", ".aifc", ".wv" or ".flac", in any letter case), optionally
// collects the input's properties and optionally hashes the decoded sample
// bytes.

#include <cstdio>
#include <stdexcept>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"
#include "audio/io/InputDetails.h"
#include "filesystem/Path.h"
#include "stream/MD5.h"

namespace Audio::IO {

class exception : public std::runtime_error {
public:
    exception(const char* message, int code) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// A reader refused the file. Thrown with std::throw_with_nested, so the
// reader's own exception (and its message) is nested inside.
struct FileError : exception {
    FileError() : exception("???", 1) {}
};

// The extension names no known reader.
struct OpenError : exception {
    OpenError() : exception("Could not open file", 4) {}
};

// Opens `path` with the reader its extension names. Appends the reader's
// properties to `properties` when given. When `digest` is given, the stream
// is wrapped in an MD5 stage over the format's 8 bytes followed by every
// sample byte pulled through; the digest reaches `digest` when the stage is
// released (the destination must outlive it). `details`, when given,
// receives the speaker layout and the reader's warnings; it must outlive the
// stream (the FLAC reader adds its digest warning when the audio has been
// read to its end).
Audio::Stream::Wrapper<::Stream::iOver> OpenFile(const Filesystem::Path& path,
                                                 PropertyList* properties = nullptr,
                                                 MD5::Hash* digest = nullptr,
                                                 InputDetails* details = nullptr);

// Reads a RIFF-WAVE stream from a file already open (a pipe, standard
// input), which it takes over; otherwise as OpenFile. Its length is unknown
// when the stream's header does not state it.
Audio::Stream::Wrapper<::Stream::iOver> OpenWaveStream(std::FILE* file,
                                                       PropertyList* properties = nullptr,
                                                       MD5::Hash* digest = nullptr,
                                                       InputDetails* details = nullptr);

}  // namespace Audio::IO
