#include "job/BehindOutput.h"

namespace {

class FileTarget final : public Stream::WriteBehind::iTarget {
public:
    explicit FileTarget(sptr<Stream::iByteOutput> f) : file(std::move(f)) {}
    void seekTo(std::int64_t position) override { file->Seek(position); }
    void write(const std::uint8_t* begin, const std::uint8_t* end, bool zeros) override {
        file->Write(begin, end, zeros ? Stream::Silence : Stream::Samples);
    }

    sptr<Stream::iByteOutput> file;
};

class Output final : public Stream::iByteOutput {
public:
    Output(std::shared_ptr<Stream::WriteBehind> behind, sptr<Stream::iByteOutput> file)
        : behind_(std::move(behind)) {
        const std::int64_t at = file->Tell();
        auto target = std::make_unique<FileTarget>(std::move(file));
        file_ = target->file.get();
        behind_->open(std::move(target), at);
    }

    std::int64_t Tell() override { return behind_->tell(); }
    void Seek(std::int64_t position) override { behind_->seek(position); }
    void SeekRelative(std::int64_t offset) override { behind_->seek(behind_->tell() + offset); }
    void Write(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind) override {
        behind_->write(begin, static_cast<std::size_t>(end - begin), kind != Stream::Samples);
    }
    void WriteTaking(std::vector<std::uint8_t>& bytes, std::size_t n) override {
        behind_->writeTaking(bytes, n);
    }
    void Close() override {
        behind_->flush();
        file_->Close();
    }

private:
    std::shared_ptr<Stream::WriteBehind> behind_;
    Stream::iByteOutput* file_;  // owned by behind_'s target
};

}  // namespace

sptr<Stream::iByteOutput> BehindOutput(std::shared_ptr<Stream::WriteBehind> behind,
                                       sptr<Stream::iByteOutput> file) {
    return std::make_unique<Output>(std::move(behind), std::move(file));
}
