#pragma once

// What a reader learns of its input beyond the samples and their format.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/format/NonFinite.h"
#include "audio/io/FileWatch.h"
#include "audio/io/Metadata.h"

namespace Audio::IO {

// What every reader says of a read of its input that the system refused (a failing disk): where,
// and the system's words ("cannot read the input at byte 4096: Input/output error").
inline std::string ReadRefusedText(std::int64_t offset, int error,
                                   const std::string& what = "the input") {
    return "cannot read " + what + " at byte " + std::to_string(offset) + ": " +
           std::strerror(error);
}

struct InputDetails {
    // Speaker positions in the bits of WAVE's dwChannelMask (bit 0 front
    // left, 1 front right, 2 front centre, 3 LFE, ...); 0 when the file
    // states none.
    std::uint32_t channelMask = 0;
    // What the user should know about the input although it converts (a
    // lossy part read without its correction file, a damaged sample).
    std::vector<std::string> warnings;
    // Float inputs opened for a conversion: the NaNs and infinities met so
    // far, counted while the audio is read (they are read as silence).
    std::shared_ptr<NonFiniteCount> nonFinite;
    // Tags, markers and the like, positions at the input's rate.
    Metadata metadata;
    // The identifiers of the input's chunks that hold neither its audio, its format nor
    // metadata this program reads (an editor's or recorder's own), each once, in file order.
    std::vector<std::string> unreadChunks;
    // An input opened for a conversion whose length is unknown until its end (a stream): its
    // length in bytes once the reader found it, -1 before (set on the reading thread).
    std::shared_ptr<std::atomic<std::int64_t>> endBytes;
    // A file opened by name: its size and time of last modification at the start (and those
    // of a WavPack file's correction file), to tell whether another program wrote to it while
    // it was read.
    std::shared_ptr<FileWatch> watch;
};

// The warning of a file whose header declares more audio than it holds:
// "input cut short: <present> of <declared> frames".
inline std::string CutShortWarning(std::int64_t presentFrames, std::int64_t declaredFrames) {
    return "input cut short: " + std::to_string(presentFrames) + " of " +
           std::to_string(declaredFrames) + " frames";
}

}  // namespace Audio::IO
