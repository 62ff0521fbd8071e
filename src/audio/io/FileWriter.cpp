#include "audio/io/FileWriter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "audio/io/AIFFWriter.h"
#include "audio/io/FLACWriter.h"
#include "audio/io/WAVEWriter.h"
#include "audio/io/WavpackWriter.h"
#include "base/Wobbly.h"
#include "stream/Stop.h"

namespace Stream {

namespace {

// Byte output over a C file. Every write is flushed at once so that a
// failing disk shows up as an exception from Write, not as a silently
// short file when the handle is closed.
class iByteOutput_stdio final : public iByteOutput {
public:
    explicit iByteOutput_stdio(std::FILE* f) : file_(f) {}
    ~iByteOutput_stdio() override {
        if (file_) std::fclose(file_);
    }

    std::int64_t Tell() override {
        off_t p = ftello(Open());
        if (p < 0) throw Failure("cannot seek in the output file", errno);
        return p;
    }
    void Seek(std::int64_t position) override {
        if (fseeko(Open(), static_cast<off_t>(position), SEEK_SET) != 0)
            throw Failure("cannot seek in the output file", errno);
    }
    void SeekRelative(std::int64_t offset) override {
        if (fseeko(Open(), static_cast<off_t>(offset), SEEK_CUR) != 0)
            throw Failure("cannot seek in the output file", errno);
    }
    void Write(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind) override {
        std::FILE* f = Open();
        std::size_t n = static_cast<std::size_t>(end - begin);
        if (kind == Samples && n != 0) {
            if (std::fwrite(begin, 1, n, f) != n) throw Failure("cannot write the output file", errno);
        } else {
            static const std::uint8_t zeros[65536] = {};
            while (n != 0) {
                std::size_t piece = std::min(n, sizeof zeros);
                if (std::fwrite(zeros, 1, piece, f) != piece)
                    throw Failure("cannot write the output file", errno);
                n -= piece;
            }
        }
        if (std::fflush(f) != 0) throw Failure("cannot write the output file", errno);
        StartWriteBack(f);
    }
    void Close() override {
        std::FILE* f = Open();
        file_ = nullptr;
        // On the disk before the caller renames it: after a crash or a power cut a finished
        // name holds the whole file, not an empty one.
        bool stored = std::fflush(f) == 0;
        if (stored && ::fdatasync(fileno(f)) != 0)
            stored = errno == EINVAL || errno == ENOTSUP;  // a file system without the call
        const int error = errno;
        if (std::fclose(f) != 0) throw Failure("cannot close the output file", errno);
        if (!stored) throw Failure("cannot store the output file", error);
    }

private:
    std::FILE* Open() const {
        if (!file_) throw Failure("the output file is closed", EBADF);
        return file_;
    }

    // The disk starts on what was written while the conversion goes on, every few MiB, so that
    // the fdatasync of Close finds little left to wait for (it took a sixth of a long
    // conversion's time). Only a start: nothing waits for it, and a failure is Close's to see.
    void StartWriteBack(std::FILE* f) {
        constexpr off_t kEvery = 8 << 20;
        const off_t at = ftello(f);
        if (at < 0) throw Failure("cannot seek in the output file", errno);
        if (at < started_ + kEvery) return;
        ::sync_file_range(fileno(f), started_, at - started_, SYNC_FILE_RANGE_WRITE);
        started_ = at;
    }

    std::FILE* file_;
    off_t started_ = 0;  // write-back was started for the bytes before
};

// Writes wait for the descriptor to take bytes, and give up (Stopped) when a stop is
// requested meanwhile: a reader that does not read never holds the job. A pipe is written
// through a non-blocking description of its own (the shared one's mode is the other
// processes' too), or else PIPE_BUF bytes at a time, which it takes without blocking once
// poll says it may be written; a socket is written without waiting. Files and devices are
// written whole (a terminal that holds its output back still holds the write).
class iByteOutput_sequential final : public iByteOutput {
public:
    explicit iByteOutput_sequential(int fd) : fd_(fd) {
        struct stat st;
        if (fstat(fd, &st) != 0) return;
        socket_ = S_ISSOCK(st.st_mode);
        plain_ = !socket_ && !S_ISFIFO(st.st_mode);
        if (S_ISFIFO(st.st_mode)) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            own_ = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (own_ >= 0) fd_ = own_;
        }
    }
    ~iByteOutput_sequential() override {
        if (own_ >= 0) ::close(own_);
    }
    iByteOutput_sequential(const iByteOutput_sequential&) = delete;
    iByteOutput_sequential& operator=(const iByteOutput_sequential&) = delete;

    std::int64_t Tell() override { return written_; }
    void Seek(std::int64_t position) override {
        if (position != written_) throw Failure("cannot seek in the output stream", ESPIPE);
    }
    void SeekRelative(std::int64_t offset) override { Seek(written_ + offset); }
    void Write(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind) override {
        std::size_t n = static_cast<std::size_t>(end - begin);
        if (kind == Samples) {
            Put(begin, n);
            return;
        }
        static const std::uint8_t zeros[65536] = {};
        while (n != 0) {
            const std::size_t piece = std::min(n, sizeof zeros);
            Put(zeros, piece);
            n -= piece;
        }
    }

private:
    void Put(const std::uint8_t* p, std::size_t n) {
        while (n != 0) {
            // A pipe without a description of its own is waited for first; the others say
            // EAGAIN when they are full, if ever.
            const bool blocks = !plain_ && !socket_ && own_ < 0;
            if (blocks && !WaitReady(fd_, POLLOUT)) throw Stopped();
            const ssize_t w = socket_  ? ::send(fd_, p, n, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : blocks ? ::write(fd_, p, std::min<std::size_t>(n, PIPE_BUF))
                                       : ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    if (!WaitReady(fd_, POLLOUT)) throw Stopped();
                    continue;
                }
                if (errno == EINTR) continue;
                throw Failure("cannot write the output stream", errno);
            }
            p += w;
            n -= static_cast<std::size_t>(w);
            written_ += w;
        }
    }

    int fd_;                              // written to: the given descriptor, or own_
    int own_ = -1;                        // the pipe's non-blocking description, owned
    bool plain_ = true, socket_ = false;  // plain_: a file or a device, written as it comes
    std::int64_t written_ = 0;
};

}  // namespace

sptr<iByteOutput> OpenSequentialOutput(int fd) {
    return std::make_unique<iByteOutput_sequential>(fd);
}

iByteOutput::Failure::Failure(const char* operation, int error)
    : WobblyBecause(std::string(operation) + ": " + std::strerror(error)) {}

sptr<iByteOutput> OpenStdioOutput(const std::string& path, bool createOnly) {
    std::FILE* f = nullptr;
    if (createOnly) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 && !(f = ::fdopen(fd, "wb"))) {
            const int error = errno;
            ::close(fd);
            ::unlink(path.c_str());
            errno = error;
        }
    } else {
        f = std::fopen(path.c_str(), "wb");
    }
    if (!f) {
        const int error = errno;
        try {
            throw std::runtime_error(path + ": " + std::strerror(error));
        } catch (...) {
            std::throw_with_nested(iByteOutput::CannotOpen());
        }
    }
    return std::make_unique<iByteOutput_stdio>(f);
}

}  // namespace Stream

namespace Audio::IO {

int iFileWriter::SetFormat(const FormatTranslator& s) {
    bytesPerFrame = static_cast<int>(s.inFormat().bytesPerFrame());
    return static_cast<int>(s.inFormat().bytesPerSample());
}

void iFileWriter::Finish() {
    if (output) output->Close();
}

std::uint8_t* iFileWriter::BatchRoom(std::size_t n) {
    if (batchBytes == 0) return nullptr;
    if (batchFill_ + n > batch_.size()) {
        FlushBatch();
        batch_.resize(std::max(n, batchBytes));
    }
    return batch_.data() + batchFill_;
}

void iFileWriter::WriteBlock(const std::uint8_t* begin, const std::uint8_t* end,
                             std::int32_t kind) {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    // The first block goes out at once: it settles the header (a sequential writer's sizes
    // are those known then).
    if (batchBytes == 0 || !blockWritten_) {
        FlushBatch();
        blockWritten_ = true;
        BeforeWrite(n);
        output->Write(begin, end, n ? kind : ::Stream::Silence);
        return;
    }
    if (n == 0) return;
    std::uint8_t* room = BatchRoom(n);
    if (kind != ::Stream::Samples)
        std::memset(room, 0, n);
    else if (room != begin)
        std::memcpy(room, begin, n);
    batchFill_ += n;
    if (batchFill_ >= batchBytes) FlushBatch();
}

void iFileWriter::FlushBatch() {
    if (batchFill_ == 0) return;
    const std::size_t n = batchFill_;
    batchFill_ = 0;
    BeforeWrite(n);
    output->WriteTaking(batch_, n);  // batch_ may now be another vector: BatchRoom sizes it
}

namespace {

// Headerless samples.
class IFW_raw final : public iFileWriter {
public:
    int SetFormat(const FormatTranslator&) override { return 0; }
    sptr<::Stream::iByteOutput> Open(sptr<::Stream::iByteOutput> out, std::int64_t) override {
        return out;
    }
    void BeforeWrite(std::uint64_t) override {}
    int ID() const override { return kRawWriter; }
};

Format keepFormat(Format requested) { return requested; }

}  // namespace

WriterRegistry::WriterRegistry() {
    Register(kWavpackWriter, WavpackWriterEntry());
    Register(kWaveWriter, WaveWriterEntry());
    Register(kAiffWriter, AiffWriterEntry());
    Register(kFlacWriter, FlacWriterEntry());
    Register(kRawWriter, {"IFW_raw", "raw", [] { return sptr<iFileWriter>(new IFW_raw); }, keepFormat});
}

const WriterRegistry& WriterRegistry::Instance() {
    static const WriterRegistry registry;
    return registry;
}

const WriterEntry* WriterRegistry::Find(int id) const {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

sptr<FormatTranslator> MakeWriterSpec(int id, const Audio::Stream::Tag& source) {
    const WriterEntry* e = WriterRegistry::Instance().Find(id);
    if (!e) throw iFileWriter::UnknownID{id};
    Format adapted = e->adapter(source.format);
    return std::make_unique<FormatTranslator>(FormatTranslator::ClipToScale, source.format, adapted);
}

sptr<iFileWriter> CreateFileWriter(sptr<FormatTranslator> translator, int id) {
    const WriterEntry* e = WriterRegistry::Instance().Find(id);
    if (!e) throw iFileWriter::UnknownID{id};
    sptr<iFileWriter> w = e->factory();
    if (!w) throw iFileWriter::InternalError();
    w->translator = std::move(translator);
    w->SetFormat(*w->translator);
    w->openState = 1;
    return w;
}

void OpenFileWriter(const std::string& path, iFileWriter& writer, std::int64_t expectedDataSize) {
    sptr<::Stream::iByteOutput> out = ::Stream::OpenStdioOutput(path);
    writer.output = writer.Open(std::move(out), expectedDataSize);
    writer.openState = 2;
}

sptr<iFileWriter> MakeFileWriter(int id, const Audio::Stream::Tag& source, const std::string& path,
                                 std::int64_t expectedDataSize) {
    sptr<iFileWriter> w = CreateFileWriter(MakeWriterSpec(id, source), id);
    OpenFileWriter(path, *w, expectedDataSize);
    return w;
}

}  // namespace Audio::IO
