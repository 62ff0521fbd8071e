#pragma once

// File writers: objects that know one container format, accept interleaved
// sample bytes in a format they can store, and write them through a byte
// output. Writers are registered under a small integer ID with a factory and
// a format adapter.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/format/Format.h"
#include "audio/format/Translator.h"
#include "audio/io/Metadata.h"
#include "base/Wobbly.h"
#include "base/sptr.h"
#include "stream/Stream.h"

namespace Stream {

// Sequential byte sink with seeking. Failures of the underlying file throw
// Failure, which is also a Wobbly.
class iByteOutput {
public:
    struct CannotOpen : std::runtime_error {
        CannotOpen() : std::runtime_error("file creation failed") {}
    };
    // A write, seek or close of the file failed; the text names the
    // operation and the system's reason ("cannot write the output file: No
    // space left on device").
    struct Failure : WobblyBecause {
        Failure(const char* operation, int error);
    };

    virtual ~iByteOutput() = default;
    virtual std::int64_t Tell() = 0;
    virtual void Seek(std::int64_t position) = 0;
    virtual void SeekRelative(std::int64_t offset) = 0;
    // Writes [begin, end) for kind Samples; end - begin zero bytes for Silence
    // or Zeros, whatever the range holds.
    virtual void Write(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind) = 0;
    // Writes the first n bytes of `bytes` as samples. An output that keeps bytes for later may
    // take the vector instead of a copy and leave another in its place (of any size and
    // content); the others write them as Write does.
    virtual void WriteTaking(std::vector<std::uint8_t>& bytes, std::size_t n) {
        Write(bytes.data(), bytes.data() + n, Samples);
    }
    // Ends the output and reports what the system says about the last
    // writes (a closed file may still turn out not to be stored). Nothing may
    // be written afterwards. Outputs without such a report do nothing.
    virtual void Close() {}
};

// Byte output over a C file opened "wb", or with `createOnly` a new file that no other
// process can have opened (it fails when the name exists). Throws CannotOpen, with the
// path and the system's reason nested in it, when the file cannot be created. Close
// stores the data on the disk before it returns; the destructor only closes the file.
sptr<iByteOutput> OpenStdioOutput(const std::string& path, bool createOnly = false);

// Byte output that only goes forward, over an open descriptor (standard
// output, a pipe), which stays open. Tell counts the bytes written; a seek
// anywhere else than there throws Failure (ESPIPE). A write waiting for the descriptor
// throws Stream::Stopped when a stop is requested (stream/Stop.h).
sptr<iByteOutput> OpenSequentialOutput(int fd);

}  // namespace Stream

namespace Audio::IO {

class iFileWriter {
public:
    struct UnknownID {
        int id;
    };
    struct IrredeemableFormat : std::runtime_error {
        IrredeemableFormat() : std::runtime_error("bad write format") {}
    };
    struct InternalError : std::runtime_error {
        InternalError() : std::runtime_error("internal file-writer error") {}
    };

    virtual ~iFileWriter() = default;
    // Records the bytes per frame of the translator's source format; returns its
    // bytesPerSample.
    virtual int SetFormat(const FormatTranslator& translator);
    // Prepares the container on `out` and returns the byte output the sample
    // bytes go to (the same one, or a wrapper). `expectedDataSize` is the
    // expected number of sample bytes: negative when the length is unknown,
    // 0 when no estimate is given (the same to writers that only use an
    // estimate; a WAVE file of unknown length keeps room for RF64). For a
    // `sequential` writer it is the exact number (negative when unknown).
    virtual sptr<::Stream::iByteOutput> Open(sptr<::Stream::iByteOutput> out,
                                           std::int64_t expectedDataSize) = 0;
    // Called before each block of `count` sample bytes is written.
    virtual void BeforeWrite(std::uint64_t count) = 0;
    virtual int ID() const = 0;
    // Completes the file after its last block and closes the output,
    // throwing if that fails; a writer released without it completes and
    // closes its file as well as it can, silently. Call it once, last.
    virtual void Finish();

    int openState = 0;  // 0 created, 1 format set, 2 opened
    // Speaker positions to record (WAVE dwChannelMask bits), set before
    // Open; 0: the conventional layout for the channel count, if any.
    std::uint32_t channelMask = 0;
    // Tags and markers to store, positions already at the output's rate;
    // set before Open. Writers that cannot store them ignore them.
    std::shared_ptr<const Metadata> metadata;
    // Set before Open when the output cannot seek (standard output): the
    // header is written once, before the first block, with the exact sizes
    // when they are known then and with the streaming sizes otherwise.
    bool sequential = false;
    // For a sequential writer: asked before the first block (the stream's
    // stages know their lengths once a block went through them) for the
    // exact number of sample bytes, negative when unknown. Unset: the
    // expected size given to Open.
    std::function<std::int64_t()> exactDataSize;
    sptr<::Stream::iByteOutput> output;
    sptr<FormatTranslator> translator;  // source format -> stored format
    int bytesPerFrame = 0;

    // Sample blocks after the first are gathered into batches of at least `batchBytes` (set
    // before the first block; 0: each block goes to BeforeWrite and the output as it comes):
    // fewer header updates and system calls. FlushBatch must follow the last block, before
    // Finish.
    std::size_t batchBytes = 0;
    // Room for `n` bytes at the end of the batch, or null when not batching: a block written
    // there is taken by WriteBlock without a copy.
    std::uint8_t* BatchRoom(std::size_t n);
    // BeforeWrite and the output's Write for one block, or its place in the batch.
    void WriteBlock(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind);
    void FlushBatch();

private:
    std::vector<std::uint8_t> batch_;  // batchBytes, or the largest block asked room for
    std::size_t batchFill_ = 0;        // bytes of batch_ waiting
    bool blockWritten_ = false;        // the first block went out
};

// Turns a requested format (with rate) into the nearest storable one; throws
// IrredeemableFormat when the container cannot hold the sample type.
using FormatAdapter = Format (*)(Format requested);

struct WriterEntry {
    std::string internalName;
    std::string displayName;
    std::function<sptr<iFileWriter>()> factory;
    FormatAdapter adapter = nullptr;
};

// Process-wide registry, filled on first use and read-only afterwards.
class WriterRegistry {
public:
    static const WriterRegistry& Instance();
    const WriterEntry* Find(int id) const;
    const std::map<int, WriterEntry>& entries() const { return entries_; }

private:
    WriterRegistry();
    void Register(int id, WriterEntry entry) { entries_[id] = std::move(entry); }
    std::map<int, WriterEntry> entries_;
};

enum WriterID { kWavpackWriter = 0, kWaveWriter = 1, kRawWriter = 3, kAiffWriter = 4, kFlacWriter = 5 };

// The creation sequence, step by step and as one operation.
sptr<FormatTranslator> MakeWriterSpec(int id, const Audio::Stream::Tag& source);
sptr<iFileWriter> CreateFileWriter(sptr<FormatTranslator> translator, int id);
void OpenFileWriter(const std::string& path, iFileWriter& writer, std::int64_t expectedDataSize);
sptr<iFileWriter> MakeFileWriter(int id, const Audio::Stream::Tag& source,
                                 const std::string& path, std::int64_t expectedDataSize = 0);

// Hands `frames` interleaved 32-bit samples of `channels` channels at `begin` (or as many
// frames of silence) to `take(const std::int32_t* samples, std::size_t frames)`, for the
// encoder libraries that read whole frames of int32: in place where `begin` is aligned for
// them, else through `scratch` (copied, or zeros) at most 16384 samples at a time.
template <class Take>
void InInt32Pieces(const std::uint8_t* begin, std::size_t frames, std::uint32_t channels,
                   bool silence, std::vector<std::int32_t>& scratch, Take take) {
    constexpr std::size_t kPieceSamples = 16384;
    const std::size_t perPiece = std::max<std::size_t>(kPieceSamples / channels, 1);
    const bool aligned = reinterpret_cast<std::uintptr_t>(begin) % alignof(std::int32_t) == 0;
    while (frames > 0) {
        const std::size_t n = silence || !aligned ? std::min(frames, perPiece) : frames;
        const std::int32_t* samples;
        if (silence) {
            scratch.assign(n * channels, 0);
            samples = scratch.data();
        } else if (!aligned) {
            scratch.resize(n * channels);
            std::memcpy(scratch.data(), begin, n * channels * 4);
            samples = scratch.data();
        } else {
            samples = reinterpret_cast<const std::int32_t*>(begin);
        }
        take(samples, n);
        frames -= n;
        if (!silence) begin += n * channels * 4;
    }
}

}  // namespace Audio::IO
