#include "audio/io/AIFFWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/io/ChannelLayout.h"

namespace Audio::IO {

namespace {

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// AIFF-C version 1 (the "FVER" timestamp every AIFF-C file carries).
constexpr std::uint32_t kAifcVersion1 = 0xA2805140;

// "COMM" of AIFF-C: the AIFF fields, the compression type and its name as a
// Pascal string padded to an even length.
constexpr std::size_t kCommSize = 18, kAifcCommSize = 44;
constexpr char kFloat32Name[] = "32-bit floating point";
constexpr char kFloat64Name[] = "64-bit floating point";

}  // namespace

Format iFileWriter_AIFF::AdaptFormat(Format f) {
    if (f.isInteger() && f.bytesPerSample() >= 1 && f.bytesPerSample() <= 4) {
        f.setScaleExponent((f.bytesPerSample() * 8 - f.paddingBits()) & 0xFF)
            .setUnsigned(false)
            .setBigEndian(true);
    } else if (f.isFloat() && (f.bytesPerSample() == 4 || f.bytesPerSample() == 8)) {
        f.setScaleExponent(1).setUnsigned(false).setBigEndian(true);
    } else {
        throw IrredeemableFormat();
    }
    return f;
}

std::array<std::uint8_t, 10> iFileWriter_AIFF::Extended80(double v) {
    std::array<std::uint8_t, 10> e{};
    if (!(v > 0.0) || !std::isfinite(v)) return e;
    int exponent = 0;
    const double fraction = std::frexp(v, &exponent);  // v = fraction x 2^exponent, [0.5, 1)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
    Put16(e.data(), static_cast<std::uint32_t>(exponent + 16382));
    for (int i = 0; i < 8; ++i) e[2 + i] = static_cast<std::uint8_t>(mantissa >> (56 - 8 * i));
    return e;
}

void iFileWriter_AIFF::BuildComm() {
    const Format f = translator->outFormat();
    const std::uint32_t b = f.bytesPerSample(), c = f.channels();
    if (b == 0 || c == 0 || f.paddingBits() >= b * 8) throw IrredeemableFormat();
    const double rate = std::round(static_cast<double>(f.sampleRate));
    if (!(rate >= 1.0 && rate <= 4294967295.0)) throw IrredeemableFormat();
    float_ = f.isFloat();

    comm_.fill(0);
    Put16(comm_.data(), c);
    // Frames at 2..5 follow the data.
    Put16(comm_.data() + 6, b * 8 - f.paddingBits());
    const auto rate80 = Extended80(rate);
    std::memcpy(comm_.data() + 8, rate80.data(), rate80.size());
    if (float_) {
        const char* name = b == 4 ? kFloat32Name : kFloat64Name;
        std::memcpy(comm_.data() + 18, b == 4 ? "fl32" : "fl64", 4);
        comm_[22] = static_cast<std::uint8_t>(std::strlen(name));
        std::memcpy(comm_.data() + 23, name, std::strlen(name));
    }
    Put32(fver_.data(), kAifcVersion1);
}

void iFileWriter_AIFF::WriteHeader(std::int64_t dataBytes) {
    IFF::Plan::Node& ssnd = plan_.node(ssndNode_);
    ssnd.size = 8 + dataBytes;
    plan_.Layout();  // throws SizeOverflow before anything is written
    const std::int64_t frames =
        dataBytes / std::max<std::int64_t>(translator->outFormat().bytesPerFrame(), 1);
    Put32(comm_.data() + 2, static_cast<std::uint32_t>(frames));
    if (!headerWritten_) {
        output->Seek(0);
        plan_.Write(*output);
        static const std::uint8_t offsetAndBlockSize[8] = {};
        output->Write(offsetAndBlockSize, offsetAndBlockSize + 8, ::Stream::Samples);
        headerWritten_ = true;
        return;
    }
    // Only the sizes and the frame count move: the text chunks stay as written.
    auto patch = [&](std::int64_t at, std::uint32_t v) {
        std::uint8_t b[4];
        Put32(b, v);
        output->Seek(at);
        output->Write(b, b + 4, ::Stream::Samples);
    };
    patch(4, static_cast<std::uint32_t>(plan_.node(0).size + 4));
    patch(plan_.node(commNode_).position + 2, static_cast<std::uint32_t>(frames));
    patch(ssnd.position - 4, static_cast<std::uint32_t>(ssnd.size));
    output->Seek(ssnd.position + 8);
}

sptr<::Stream::iByteOutput> iFileWriter_AIFF::Open(sptr<::Stream::iByteOutput> out, std::int64_t) {
    if (!translator) throw InternalError();
    BuildComm();
    plan_ = IFF::Plan();
    headerWritten_ = false;
    plan_.AddGroup("FORM", float_ ? "AIFC" : "AIFF", true);
    if (float_) plan_.AddChunk("FVER", fver_.data(), static_cast<std::int64_t>(fver_.size()));
    commNode_ = plan_.AddChunk("COMM", comm_.data(), float_ ? kAifcCommSize : kCommSize);
    texts_.clear();
    // Beyond stereo the speaker layout is stated ("CHAN"): readers would take the AIFF
    // convention for the count (L, Lc, C, R, Rc, S for six) otherwise. One or two channels
    // state it when they are not that convention's (centre; left and right).
    const std::uint32_t channels = translator->outFormat().channels();
    const std::uint32_t usual = channels == 1 ? 0x4 : 0x3;
    if (channels > 2 || (channelMask != 0 && channelMask != usual && channelMask != kNoPositions)) {
        const std::vector<std::uint8_t> chan = EncodeAiffChannelLayout(channelMask, channels);
        if (!chan.empty()) texts_.emplace_back("CHAN", std::string(chan.begin(), chan.end()));
    }
    if (metadata)
        for (auto& [name, value] : TagsFor(*metadata, TagScheme::Aiff))
            texts_.emplace_back(name, std::move(value));
    if (metadata) {
        // Loop ends are markers: the instrument comes first, adding those missing.
        Metadata marked = *metadata;
        const std::vector<std::uint8_t> inst = EncodeAiffInstrument(marked);
        const std::vector<std::uint8_t> mark = EncodeAiffMarkers(marked);
        if (!mark.empty()) texts_.emplace_back("MARK", std::string(mark.begin(), mark.end()));
        if (!inst.empty()) texts_.emplace_back("INST", std::string(inst.begin(), inst.end()));
    }
    for (const auto& [name, text] : texts_)
        plan_.AddChunk(IFF::ResType::FromBytes(reinterpret_cast<const std::uint8_t*>(name.data())),
                       text.data(), static_cast<std::int64_t>(text.size()));
    ssndNode_ = plan_.AddStreamChunk("SSND");
    output = std::move(out);
    WriteHeader(0);
    return std::move(output);
}

void iFileWriter_AIFF::BeforeWrite(std::uint64_t count) {
    if (!output) throw InternalError();
    const std::int64_t written = output->Tell() - (plan_.node(ssndNode_).position + 8);
    WriteHeader(written + static_cast<std::int64_t>(count));
    output->SeekRelative(written);
}

void iFileWriter_AIFF::Finish() {
    // An odd-sized "SSND" is followed by a pad byte, which "FORM" counts.
    if (output && (plan_.node(ssndNode_).size & 1)) {
        const std::int64_t end = output->Tell();
        // The pad can take "FORM" past its 32 bits where the audio alone did not (it wrapped
        // to 0, and the file was reported done).
        if (end + 1 - 8 > 0xFFFFFFFFll) throw IFF::Plan::SizeOverflow();
        static const std::uint8_t zero[1] = {};
        output->Write(zero, zero + 1, ::Stream::Samples);
        std::uint8_t size[4];
        Put32(size, static_cast<std::uint32_t>(end + 1 - 8));
        output->Seek(4);
        output->Write(size, size + 4, ::Stream::Samples);
    }
    iFileWriter::Finish();
}

WriterEntry AiffWriterEntry() {
    return {"iFileWriter_AIFF", "AIFF", [] { return sptr<iFileWriter>(new iFileWriter_AIFF); },
            &iFileWriter_AIFF::AdaptFormat};
}

}  // namespace Audio::IO
