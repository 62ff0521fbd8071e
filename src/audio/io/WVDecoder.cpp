#include "audio/io/WVDecoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <wavpack/wavpack.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "audio/io/ChannelLayout.h"

namespace Audio::IO {

namespace {

// Closes a library context unless released.
struct ContextGuard {
    WavpackContext* context;
    ~ContextGuard() {
        if (context) WavpackCloseFile(context);
    }
};

}  // namespace

struct WVDecoder::Input {
    struct File {
        std::FILE* f = nullptr;
        int error = 0;        // errno of the first read refused, 0: none
        std::int64_t at = 0;  // its position in the file, bytes
    };
    File wv, wvc;

    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() {
        for (File* file : {&wv, &wvc})
            if (file->f) std::fclose(file->f);
    }

    // A context over `path` (and its correction file when `flags` ask for it); null when the
    // library refuses it, with its reason in `error`. A correction file that is there but
    // cannot be opened is an error (the audio would be the lossy part, "done").
    WavpackContext* Open(const std::string& path, char* error, int flags) {
        wv.f = std::fopen(path.c_str(), "rb");
        if (!wv.f) return nullptr;
        if (flags & OPEN_WVC) {
            const std::string correction = path + "c";
            wvc.f = std::fopen(correction.c_str(), "rb");
            if (!wvc.f && errno != ENOENT)
                throw WVParser::exception(
                    "cannot open the correction file " + correction + ": " + std::strerror(errno),
                    0);
        }
        return WavpackOpenFileInputEx64(&kReader, &wv, wvc.f ? &wvc : nullptr, error, flags, 0);
    }

private:
    static std::FILE* FileOf(void* id) { return static_cast<File*>(id)->f; }
    static std::int32_t Read(void* id, void* data, std::int32_t count) {
        File& file = *static_cast<File*>(id);
        const std::size_t got = std::fread(data, 1, static_cast<std::size_t>(count), file.f);
        if (got < static_cast<std::size_t>(count) && std::ferror(file.f) && file.error == 0) {
            file.error = errno ? errno : EIO;
            file.at = std::max<std::int64_t>(::ftello(file.f), 0);
        }
        return static_cast<std::int32_t>(got);
    }
    static std::int32_t Write(void*, void*, std::int32_t) { return 0; }
    static std::int64_t Position(void* id) { return ::ftello(FileOf(id)); }
    static int SeekTo(void* id, std::int64_t position) {
        return ::fseeko(FileOf(id), static_cast<off_t>(position), SEEK_SET);
    }
    static int SeekBy(void* id, std::int64_t delta, int mode) {
        return ::fseeko(FileOf(id), static_cast<off_t>(delta), mode);
    }
    static int PushBack(void* id, int c) { return std::ungetc(c, FileOf(id)); }
    static std::int64_t Length(void* id) {
        struct stat st {};
        return ::fstat(::fileno(FileOf(id)), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
    }
    static int CanSeek(void* id) {
        struct stat st {};
        return ::fstat(::fileno(FileOf(id)), &st) == 0 && S_ISREG(st.st_mode);
    }
    static int Truncate(void*) { return -1; }
    static int Close(void*) { return 0; }  // the files are closed by ~Input

    static inline WavpackStreamReader64 kReader = {Read,     Write,  Position, SeekTo,   SeekBy,
                                                   PushBack, Length, CanSeek,  Truncate, Close};
};

WVDecoder::WVDecoder(WavpackContext* context, std::unique_ptr<Input> input)
    : context_(context), input_(std::move(input)) {}

WVDecoder::~WVDecoder() {
    WavpackCloseFile(context_);
}

void WVDecoder::ThrowIfUnreadable(const Input& input) {
    for (const Input::File* file : {&input.wv, &input.wvc})
        if (file->error)
            throw WVParser::exception(
                ReadRefusedText(file->at, file->error,
                                file == &input.wvc ? "the input's correction file" : "the input"),
                1);
}

Audio::Stream::Wrapper<::Stream::iOver> WVDecoder::Open(const std::string& path,
                                                        PropertyList* properties,
                                                        InputDetails* details) {
    char error[128] = {};
    // All channels are decoded: no OPEN_2CH_MAX. DSD files open (as PCM)
    // only to be told apart from damaged ones.
    const int flags = OPEN_WVC | OPEN_DSD_AS_PCM | (properties || details ? OPEN_TAGS : 0);
    auto input = std::make_unique<Input>();
    ContextGuard guard{input->Open(path, error, flags)};
    WavpackContext* ctx = guard.context;
    if (!ctx) {
        ThrowIfUnreadable(*input);
        // A file that cannot be opened says which and why.
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) throw WVParser::exception((path + ": " + std::strerror(errno)).c_str(), 0);
        char magic[4] = {};
        const bool wavpack = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "wvpk", 4) == 0;
        std::fclose(f);
        // A WavPack file the library refuses says why ("can't read all of WavPack file!" for
        // one cut within its first block); other data is just not WavPack.
        if (wavpack && error[0])
            throw WVParser::exception(std::string("Malformed Wavpack file: ") + error, 2);
        throw WVParser::Incomplete();
    }
    if (WavpackGetQualifyMode(ctx) & QMODE_DSD_AUDIO)
        throw WVParser::Unsupported("DSD WavPack files are not supported");

    const int mode = WavpackGetMode(ctx);
    const bool isFloat = mode & MODE_FLOAT;
    const int bytes = WavpackGetBytesPerSample(ctx);
    const int bits = WavpackGetBitsPerSample(ctx);
    if (bytes < 1 || bytes > 4 || bits < 1 || bits > bytes * 8) throw WVParser::Incomplete();
    if (isFloat && (bytes != 4 || bits != 32)) throw WVParser::Incomplete();
    std::uint32_t scale;
    if (isFloat) {
        const int exponent = WavpackGetFloatNormExp(ctx) - 126;
        if (exponent < 1 || exponent > 253) throw WVParser::Incomplete();
        scale = static_cast<std::uint32_t>(exponent);
    } else {
        // The library delivers values of the full container width.
        scale = static_cast<std::uint32_t>(bytes) * 8;
    }
    const std::uint32_t rate = WavpackGetSampleRate(ctx);
    const int channels = WavpackGetNumChannels(ctx);
    if (rate == 0 || channels < 1) throw WVParser::Incomplete();
    // The format's channel field has 8 bits.
    if (channels > 255)
        throw WVParser::Unsupported("Wavpack file has " + std::to_string(channels) +
                                    " channels; at most 255 are supported");
    const std::int64_t index = WavpackGetSampleIndex64(ctx);

    Format f;
    f.setBytesPerSample(4)
        .setSampleType(isFloat ? Format::Float : Format::Integer)
        .setScaleExponent(scale)
        .setPaddingBits(0)
        .setUnsigned(false)
        .setBigEndian(false)
        .setChannels(static_cast<std::uint32_t>(channels));
    f.sampleRate = static_cast<float>(rate);

    if (details) {
        // "Unassigned speakers" beyond stereo are stated as such (a mask of 0).
        details->channelMask = static_cast<std::uint32_t>(WavpackGetChannelMask(ctx));
        if (details->channelMask == 0 && channels > 2) details->channelMask = kNoPositions;
        if ((mode & MODE_HYBRID) && !(mode & MODE_WVC))
            details->warnings.push_back(
                "hybrid WavPack without its correction file (.wvc): decoding the lossy part");
        // The correction file (the name with a "c" added, as the library opened it) is read
        // beside the file: written to meanwhile, it spoils the audio as much.
        if ((mode & MODE_WVC) && details->watch)
            details->watch->Add(::open((path + "c").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }

    auto* decoder = new WVDecoder(ctx, std::move(input));
    guard.context = nullptr;
    Audio::Stream::Wrapper<::Stream::iOver> result(decoder);
    decoder->channels_ = static_cast<std::uint32_t>(channels);
    decoder->corrected_ = mode & MODE_WVC;
    decoder->bytesPerFrame_ = 4 * decoder->channels_;
    decoder->granularity = decoder->bytesPerFrame_;
    decoder->position = std::max<std::int64_t>(index, 0) * decoder->bytesPerFrame_;
    decoder->setTag(Audio::Stream::Tag{0.0, f.ResolveScale()});
    const std::int64_t samples = WavpackGetNumSamples64(ctx);
    if (samples >= 0) decoder->length = samples * decoder->bytesPerFrame_;

    if (properties) {
        AppendStreamProperties(*properties, *decoder, ".wv", "audio/x-wv");
        // What the file stores, not the stream's containers.
        Format stored = f;
        stored.setBytesPerSample(static_cast<std::uint32_t>(bytes))
            .setPaddingBits(static_cast<std::uint32_t>(bytes * 8 - bits));
        AppendFormatProperties(*properties, stored);
        if (mode & MODE_VALID_TAG)
            for (auto& [key, value] : decoder->TagItems()) {
                for (char& ch : key)
                    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                // Several values are listed one by one.
                for (std::string& v : ApeValues(value))
                    properties->push_back({Property::FileTag, key, std::move(v)});
            }
    }
    if (details && (mode & MODE_VALID_TAG)) {
        auto warn = [details](std::string w) { AddOnce(details->warnings, std::move(w)); };
        for (auto& [key, value] : decoder->TagItems())
            warn(KeepTag(details->metadata, TagScheme::Ape, key, std::move(value)));
        for (auto& [key, value] : decoder->TagItems(true))
            warn(KeepTag(details->metadata, TagScheme::Ape, key, std::move(value), true));
    }
    if (details) ReadWrapper(path, *details);
    return result;
}

void WVDecoder::ReadWrapper(const std::string& path, InputDetails& details) {
    // A context of its own: looking for the trailer moves through the file.
    char error[128] = {};
    // Wrappers of files other than WAV (AIFF) are given only to a reader that asks for them.
    Input input;
    ContextGuard guard{input.Open(path, error, OPEN_WRAPPER | OPEN_ALT_TYPES)};
    WavpackContext* ctx = guard.context;
    ThrowIfUnreadable(input);
    if (!ctx) return;
    bool bigEndian = false;
    // The wrapper before the audio and the one after it, one run of chunks.
    std::vector<std::uint8_t> chunks;
    auto read = [&] {
        const std::uint32_t n = WavpackGetWrapperBytes(ctx);
        const std::uint8_t* data = WavpackGetWrapperData(ctx);
        if (n > 0 && data) chunks.insert(chunks.end(), data, data + n);
        WavpackFreeWrapper(ctx);
    };
    // WAV wrappers hold RIFF chunks, AIFF ones an AIFF's.
    const int format = WavpackGetFileFormat(ctx);
    if (format != WP_FORMAT_WAV && format != WP_FORMAT_AIF) return;
    read();
    const std::size_t head = chunks.size();
    WavpackSeekTrailingWrapper(ctx);
    read();
    ThrowIfUnreadable(input);  // a trailer the system would not give is not left out unsaid
    std::vector<std::string> warnings;
    if (format == WP_FORMAT_AIF) {
        warnings = ReadAiffChunks(chunks.data(), chunks.size(), details.metadata,
                                  WavpackGetSampleRate(ctx), details.unreadChunks);
    } else {
        // Each wrapper on its own: the trailing one starts a run of its own.
        warnings =
            ReadRiffChunks(chunks.data(), head, details.metadata, bigEndian, details.unreadChunks);
        for (std::string& w : ReadRiffChunks(chunks.data() + head, chunks.size() - head,
                                             details.metadata, bigEndian, details.unreadChunks))
            warnings.push_back(std::move(w));
    }
    details.warnings.insert(details.warnings.end(), warnings.begin(), warnings.end());
}

std::vector<std::pair<std::string, std::string>> WVDecoder::TagItems(bool binary) {
    std::vector<std::pair<std::string, std::string>> list;
    const auto indexed = binary ? &WavpackGetBinaryTagItemIndexed : &WavpackGetTagItemIndexed;
    const auto item = binary ? &WavpackGetBinaryTagItem : &WavpackGetTagItem;
    const int n = binary ? WavpackGetNumBinaryTagItems(context_) : WavpackGetNumTagItems(context_);
    for (int i = 0; i < n; ++i) {
        const int keyLength = indexed(context_, i, nullptr, 0);
        std::string key(static_cast<std::size_t>(std::max(keyLength, 0)) + 1, '\0');
        const int gotKey = indexed(context_, i, key.data(), static_cast<int>(key.size()));
        key.resize(static_cast<std::size_t>(std::clamp(gotKey, 0, keyLength)));
        std::string value;
        if (!key.empty()) {
            const int valueLength = item(context_, key.c_str(), nullptr, 0);
            // A binary value is copied only to a buffer that holds all of it.
            value.assign(static_cast<std::size_t>(std::max(valueLength, 0)) + 1, '\0');
            const int gotValue =
                item(context_, key.c_str(), value.data(), static_cast<int>(value.size()));
            value.resize(static_cast<std::size_t>(std::clamp(gotValue, 0, valueLength)));
        }
        list.emplace_back(std::move(key), std::move(value));
    }
    return list;
}

std::uint32_t WVDecoder::Unpack(std::uint8_t* dest, std::uint32_t frames) {
    if (reinterpret_cast<std::uintptr_t>(dest) % alignof(std::int32_t) == 0)
        return WavpackUnpackSamples(context_, reinterpret_cast<std::int32_t*>(dest), frames);
    // The library writes int32 values: go through an aligned buffer.
    constexpr std::uint32_t kPiece = 4096;
    std::uint32_t done = 0;
    while (done < frames) {
        const std::uint32_t want = std::min(frames - done, kPiece);
        scratch_.resize(std::size_t{want} * channels_);
        const std::uint32_t got = WavpackUnpackSamples(context_, scratch_.data(), want);
        std::memcpy(dest + std::size_t{done} * bytesPerFrame_, scratch_.data(),
                    std::size_t{got} * bytesPerFrame_);
        done += got;
        if (got < want) break;
    }
    return done;
}

::Stream::Block WVDecoder::read(slice<std::uint8_t> dest, std::uint32_t) {
    const std::size_t want = dest.length();
    const std::uint32_t frames = static_cast<std::uint32_t>(want / bytesPerFrame_);
    const std::uint32_t got = frames ? Unpack(dest.begin, frames) : 0;
    const std::size_t produced = std::size_t{got} * bytesPerFrame_;
    // Blocks the library could not decode (bad checksums, a file cut short
    // while it was read) would otherwise read as silence.
    const std::int64_t reached = position + static_cast<std::int64_t>(produced);
    const bool cutShort = got < frames && length >= 0 && reached < length;
    ThrowIfUnreadable(*input_);
    if (WavpackGetNumErrors(context_) > 0) {
        if (corrected_) throw WVParser::CorrectionMismatch();
        // A block cut in two at the file's end fails its checks too: the file is cut short.
        if (cutShort) throw WVParser::Truncated(reached / bytesPerFrame_, length / bytesPerFrame_);
        throw WVParser::Incomplete();
    }
    if (produced < want) {
        if (cutShort) throw WVParser::Truncated(reached / bytesPerFrame_, length / bytesPerFrame_);
        if (got < frames && length < 0)
            length = WavpackGetSampleIndex64(context_) * std::int64_t{bytesPerFrame_};
        std::memset(dest.begin + produced, 0, want - produced);
    }
    return {dest.begin, dest.end, want ? ::Stream::Samples : ::Stream::Silence};
}

void WVDecoder::seek(std::uint64_t p) {
    const std::uint64_t frame = std::min<std::uint64_t>(
        p / bytesPerFrame_, std::uint64_t(std::numeric_limits<std::int64_t>::max()));
    const std::int64_t total = WavpackGetNumSamples64(context_);
    std::int64_t target = static_cast<std::int64_t>(frame);
    const bool pastEnd = total >= 0 && target > total - 1;
    if (pastEnd) target = total - 1;
    if (target >= 0 && !WavpackSeekSample64(context_, target)) {
        ThrowIfUnreadable(*input_);
        throw APIFail{};
    }
    if (pastEnd && target >= 0) {
        // Decode the last frame so that the next read starts at the end.
        scratch_.resize(channels_);
        WavpackUnpackSamples(context_, scratch_.data(), 1);
    }
}

}  // namespace Audio::IO
