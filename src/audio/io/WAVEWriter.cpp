#include "audio/io/WAVEWriter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "audio/io/ChannelLayout.h"

namespace Audio::IO {

namespace {

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(std::uint8_t* p, std::uint64_t v) {
    Put32(p, static_cast<std::uint32_t>(v));
    Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT in their stored layout:
// 0000000x-0000-0010-8000-00AA00389B71.
constexpr std::uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                             0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Bytes in front of the data payload in a RIFF file: "RIFF" header and form
// type, "fmt " chunk, "data" header.
std::int64_t RiffOverhead(int fmtSize) {
    return 12 + 8 + fmtSize + 8;
}

// Largest value of a 32-bit size field.
constexpr std::int64_t kMaxSizeField = 0xFFFFFFFF;

}  // namespace

Format iFileWriter_WAVE::AdaptFormat(Format f) {
    if (f.isInteger()) {
        f.setScaleExponent((f.bytesPerSample() * 8 - f.paddingBits()) & 0xFF)
            .setUnsigned(f.bytesPerSample() == 1)
            .setBigEndian(false);
    } else if (f.isFloat()) {
        f.setScaleExponent(1).setUnsigned(false).setBigEndian(false);
    } else {
        throw IrredeemableFormat();
    }
    return f;
}

std::vector<std::uint8_t> WaveFormatPayload(const Format& f, std::uint32_t channelMask) {
    using IrredeemableFormat = iFileWriter::IrredeemableFormat;
    const std::uint32_t b = f.bytesPerSample(), c = f.channels();
    if (b == 0 || c == 0 || !(f.isInteger() || f.isFloat()) || f.paddingBits() > b * 8)
        throw IrredeemableFormat();
    const std::uint32_t valid = b * 8 - f.paddingBits();
    // Halves round away from zero.
    const double rate = std::round(static_cast<double>(f.sampleRate));
    if (!(rate >= 1.0 && rate <= 4294967295.0)) throw IrredeemableFormat();
    const auto samplesPerSecond = static_cast<std::uint32_t>(rate);
    const std::uint64_t average = std::uint64_t{b} * samplesPerSecond * c;

    std::vector<std::uint8_t> format(40, 0);
    std::uint8_t* p = format.data();
    Put16(p + 0, 0xFFFE);
    Put16(p + 2, c);
    Put32(p + 4, samplesPerSecond);
    Put32(p + 8, static_cast<std::uint32_t>(std::min<std::uint64_t>(average, 0xFFFFFFFF)));
    Put16(p + 12, b * c);
    Put16(p + 14, b * 8);
    Put16(p + 16, 22);
    Put16(p + 18, valid);
    const std::uint32_t mask = ChannelMaskFor(channelMask, c);
    Put32(p + 20, mask);
    Put32(p + 24, f.isFloat() ? 3 : 1);
    std::copy(std::begin(kSubFormatTail), std::end(kSubFormatTail), p + 26);

    // Mono and stereo headers without a mask imply the usual layout; any
    // other layout, and more channels, need the extensible header.
    const bool impliedLayout = c <= 2 && mask == DefaultChannelMask(c);
    if (f.isInteger() && impliedLayout && b * 8 <= 16) {
        Put16(p + 0, 1);  // WAVE_FORMAT_PCM
        Put16(p + 14, valid);
        format.resize(16);
    } else if (f.isFloat() && impliedLayout) {
        Put16(p + 0, 3);  // WAVE_FORMAT_IEEE_FLOAT
        Put16(p + 16, 0);
        format.resize(18);
    }
    return format;
}

void iFileWriter_WAVE::BuildFormatBlock() {
    const Format f = translator->outFormat();
    const std::vector<std::uint8_t> format = WaveFormatPayload(f, channelMask);
    format_.fill(0);
    std::copy(format.begin(), format.end(), format_.begin());
    fmtSize_ = static_cast<int>(format.size());
    BuildMetadataChunks(static_cast<std::uint32_t>(std::round(static_cast<double>(f.sampleRate))),
                        f.bytesPerSample() * 8 - f.paddingBits());
}

void iFileWriter_WAVE::BuildMetadataChunks(std::uint32_t rate, std::uint32_t validBits) {
    metadataChunks_.clear();
    if (!metadata || metadata->empty()) return;
    Metadata m = *metadata;
    if (m.bext)
        AppendCodingHistory(*m.bext,
                            CodingHistoryLine(rate, validBits, translator->outFormat().channels()));
    metadataChunks_ = EncodeMetadata(m);
}

std::int64_t iFileWriter_WAVE::MetadataBytes() const {
    std::int64_t n = 0;
    for (const auto& chunk : metadataChunks_) {
        const auto size = static_cast<std::int64_t>(chunk.second.size());
        n += 8 + size + (size & 1);
    }
    return n;
}

void iFileWriter_WAVE::Layout() {
    const std::int64_t end = plan_.Layout();
    if (rf64_) {
        const std::int64_t data = plan_.node(dataNode_).size;
        const std::int64_t frame = translator->outFormat().bytesPerFrame();
        Put64(ds64_.data(), static_cast<std::uint64_t>(end - 8));
        Put64(ds64_.data() + 8, static_cast<std::uint64_t>(data));
        Put64(ds64_.data() + 16, static_cast<std::uint64_t>(data / frame));
        Put32(ds64_.data() + 24, 0);  // no table entries
    }
}

void iFileWriter_WAVE::Plan(std::int64_t dataSize) {
    const std::int64_t expected = std::max<std::int64_t>(dataSize, 0);
    rf64_ = expected > kMaxSizeField - RiffOverhead(fmtSize_) - MetadataBytes() + 8;
    plan_ = IFF::Plan();
    ds64_.fill(0);
    const std::size_t riff = plan_.AddGroup(rf64_ ? "RF64" : "RIFF", "WAVE");
    ds64Node_ = 0;
    if (rf64_ || rf64Room_)
        ds64Node_ = plan_.AddChunk(rf64_ ? "ds64" : "JUNK", ds64_.data(),
                                   static_cast<std::int64_t>(ds64_.size()));
    plan_.AddChunk("fmt ", format_.data(), fmtSize_);
    for (const auto& [id, payload] : metadataChunks_) {
        const char text[5] = {id[0], id[1], id[2], id[3], 0};
        plan_.AddChunk(IFF::ResType(text), payload.data(),
                       static_cast<std::int64_t>(payload.size()));
    }
    dataNode_ = plan_.AddStreamChunk("data");
    // RF64 keeps its sizes in "ds64"; a stream of unknown size has them nowhere.
    if (rf64_ || (sequential && dataSize < 0))
        plan_.node(riff).sizeInDs64 = plan_.node(dataNode_).sizeInDs64 = true;
    plan_.node(dataNode_).size = expected;
    Layout();
    dataWritten_ = 0;
}

sptr<::Stream::iByteOutput> iFileWriter_WAVE::Open(sptr<::Stream::iByteOutput> out,
                                                   std::int64_t expectedDataSize) {
    if (!translator) throw InternalError();
    BuildFormatBlock();
    expected_ = expectedDataSize;
    headerWritten_ = false;
    rf64Room_ = !sequential && expectedDataSize < 0;
    if (sequential) return out;  // the header waits for the first block
    Plan(expectedDataSize);
    out->Seek(0);
    plan_.Write(*out);
    headerWritten_ = true;
    return out;
}

void iFileWriter_WAVE::WriteStreamHeader() {
    promised_ = exactDataSize ? exactDataSize() : expected_;
    Plan(promised_);
    plan_.Write(*output);
    headerWritten_ = true;
}

void iFileWriter_WAVE::BeforeWrite(std::uint64_t count) {
    if (!output) throw InternalError();
    if (sequential) {
        if (!headerWritten_) WriteStreamHeader();
        // The header is out; only its promise is kept.
        dataWritten_ += static_cast<std::int64_t>(count);
        if (promised_ >= 0 && dataWritten_ > promised_)
            throw std::runtime_error("the output came out longer than its header states");
        return;
    }
    IFF::Plan::Node& data = plan_.node(dataNode_);
    const std::int64_t pos = output->Tell();
    dataWritten_ = pos - data.position;
    data.size = dataWritten_ + static_cast<std::int64_t>(count);
    // The RIFF size field counts everything after itself.
    if (rf64Room_ && !rf64_ && data.position + data.size - 8 > kMaxSizeField) TurnToRF64();
    Layout();  // throws SizeOverflow before anything is written
    output->Seek(0);
    plan_.Write(*output);
    output->SeekRelative(dataWritten_);
}

void iFileWriter_WAVE::TurnToRF64() {
    rf64_ = true;
    IFF::Plan::Node& riff = plan_.node(0);  // the group comes first
    riff.id = IFF::ResType("RF64");
    plan_.node(ds64Node_).id = IFF::ResType("ds64");
    riff.sizeInDs64 = plan_.node(dataNode_).sizeInDs64 = true;
}

void iFileWriter_WAVE::Finish() {
    if (sequential) {
        if (!output) throw InternalError();
        if (!headerWritten_) WriteStreamHeader();
        if (promised_ >= 0 && dataWritten_ != promised_)
            throw std::runtime_error("the output came out shorter than its header states");
    }
    iFileWriter::Finish();
}

WriterEntry WaveWriterEntry() {
    return {"iFileWriter_WAVE", "Wave", [] { return sptr<iFileWriter>(new iFileWriter_WAVE); },
            &iFileWriter_WAVE::AdaptFormat};
}

}  // namespace Audio::IO
