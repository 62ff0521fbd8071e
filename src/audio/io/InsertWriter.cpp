#include "audio/io/InsertWriter.h"

#include <algorithm>
#include <vector>

namespace Audio::IO {

namespace {

using ::Stream::Block;
using ::Stream::Consumer;
using ::Stream::iOver;

class InsertWriterStage final : public iOver, public Consumer<Audio::Stream::Wrapper<iOver>> {
public:
    InsertWriterStage(Audio::Stream::Wrapper<iOver> up, sptr<iFileWriter> writer)
        : Consumer(std::move(up)), writer_(std::move(writer)) {
        if (!writer_ || !writer_->translator || !writer_->output) throw iFileWriter::InternalError();
        const FormatTranslator& translator = *writer_->translator;
        convert_ = !translator.convertsNothing();
        inFrame_ = std::max(translator.inFormat().bytesPerFrame(), 1u);
        std::uint32_t h = 1;
        if (convert_) h = (translator.scratchBytesPerFrame + inFrame_ - 1) / inFrame_ + 1;
        granularity = upstream->granularity;
        position = upstream->position;
        expansion = std::max(upstream->expansion, h);
        copyTagFrom(*upstream);
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::int64_t P = upstream->position;
        Block blk = upstream->read(dest, capacity);
        ::Stream::advance(*upstream, blk);
        inheritLength(*upstream);

        // A consumer never uses bytes at or beyond its upstream's length.
        const std::int64_t n =
            ::Stream::keptLength(static_cast<std::int64_t>(blk.length()), P, upstream->length);
        Block out{blk.begin, blk.begin + n, n ? blk.kind : ::Stream::Silence};

        if (convert_) out = translate(out, dest, capacity);
        writer_->WriteBlock(out.begin, out.end, out.kind);
        return blk;
    }

private:
    // Converts into the writer's batch, or else into the spare part of the caller's buffer
    // after dest (which the expansion reserves), or into a private buffer if it is too small.
    Block translate(Block in, slice<std::uint8_t> dest, std::uint32_t capacity) {
        const FormatTranslator& translator = *writer_->translator;
        const std::size_t frames = in.length() / inFrame_;
        const std::size_t need = frames * translator.scratchBytesPerFrame;
        if (std::uint8_t* batch = writer_->BatchRoom(need))
            return writer_->translator->Translate(in, batch);
        auto addr = reinterpret_cast<std::uintptr_t>(dest.end);
        addr = (addr + 7) & ~std::uintptr_t{7};
        auto* start = reinterpret_cast<std::uint8_t*>(addr);
        if (start + need > dest.begin + capacity) {
            if (private_.size() < need + 8) private_.resize(need + 8);
            addr = (reinterpret_cast<std::uintptr_t>(private_.data()) + 7) & ~std::uintptr_t{7};
            start = reinterpret_cast<std::uint8_t*>(addr);
        }
        return writer_->translator->Translate(in, start);
    }

    sptr<iFileWriter> writer_;
    bool convert_ = false;
    std::uint32_t inFrame_ = 1;
    std::vector<std::uint8_t> private_;
};

}  // namespace

Audio::Stream::Wrapper<iOver> InsertWriter(Audio::Stream::Wrapper<iOver> source,
                                           sptr<iFileWriter> writer) {
    return Audio::Stream::Wrapper<iOver>(new InsertWriterStage(std::move(source), std::move(writer)));
}

}  // namespace Audio::IO
