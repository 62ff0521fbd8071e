#include "audio/io/Metadata.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "audio/io/FileWriter.h"

namespace Audio::IO {

namespace {

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Whether `m` holds the common tag `key` (an INFO identifier).
bool HasInfo(const Metadata& m, const std::string& key) {
    return std::any_of(m.info.begin(), m.info.end(), [&](const auto& t) { return t.first == key; });
}

// A stored count as a position: past what positions hold it is the largest.
std::int64_t AsPosition(std::uint64_t v) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(v, std::uint64_t(std::numeric_limits<std::int64_t>::max())));
}

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutId(Bytes& b, const char* id) {
    b.insert(b.end(), id, id + 4);
}
// A fixed-width text field, cut or padded with NULs.
void PutField(Bytes& b, const std::string& s, std::size_t width) {
    const std::size_t n = std::min(s.size(), width);
    b.insert(b.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    b.insert(b.end(), width - n, 0);
}
// A sub-chunk with a NUL-terminated text, padded to even.
void PutTextChunk(Bytes& b, const char* id, const Bytes& head, const std::string& text) {
    PutId(b, id);
    const std::size_t size = head.size() + text.size() + 1;
    Put32(b, static_cast<std::uint32_t>(size));
    b.insert(b.end(), head.begin(), head.end());
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    if (size & 1) b.push_back(0);
}

// Text up to the first NUL, never past `n` bytes.
std::string Text(const std::uint8_t* p, std::size_t n) {
    if (n == 0) return {};  // an empty payload may have no storage at all
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, n));
    return std::string(reinterpret_cast<const char*>(p), end ? std::size_t(end - p) : n);
}

bool Is(const char* id, const char* name) {
    return std::memcmp(id, name, 4) == 0;
}

std::string Malformed(const char* name) {
    return std::string("metadata: ") + name + " chunk malformed, dropped";
}

bool ReadBext(const std::uint8_t* p, std::size_t n, Metadata& m) {
    constexpr std::size_t kFixed = 602;
    if (n < kFixed) return false;
    BextChunk b;
    b.description = Text(p, 256);
    b.originator = Text(p + 256, 32);
    b.originatorReference = Text(p + 288, 32);
    b.originationDate = Text(p + 320, 10);
    b.originationTime = Text(p + 330, 8);
    b.timeReference = std::uint64_t(Le32(p + 342)) << 32 | Le32(p + 338);
    b.version = Le16(p + 346);
    std::memcpy(b.umid.data(), p + 348, 64);
    std::memcpy(b.loudness.data(), p + 412, 10);
    b.codingHistory = Text(p + kFixed, n - kFixed);
    m.bext = std::move(b);
    return true;
}

bool ReadList(const std::uint8_t* p, std::size_t n, Metadata& m) {
    if (n < 4) return false;
    const char* type = reinterpret_cast<const char*>(p);
    const bool info = Is(type, "INFO"), adtl = Is(type, "adtl");
    if (!info && !adtl) return true;  // other lists are not carried
    decltype(m.info) tags;
    std::vector<CueText> texts;
    std::size_t pos = 4;
    while (n - pos >= 8) {
        const char* id = reinterpret_cast<const char*>(p + pos);
        const std::uint32_t len = Le32(p + pos + 4);
        pos += 8;
        if (len > n - pos) return false;
        const std::uint8_t* body = p + pos;
        if (info) {
            for (int i = 0; i < 4; ++i)
                if (id[i] < 0x20 || id[i] > 0x7E) return false;
            tags.emplace_back(std::string(id, 4), Text(body, len));
        } else if (Is(id, "labl") || Is(id, "note") || Is(id, "ltxt")) {
            const bool ltxt = Is(id, "ltxt");
            const std::size_t head = ltxt ? 20 : 4;
            if (len < head) return false;
            CueText t;
            std::memcpy(t.kind.data(), id, 4);
            t.cueId = Le32(body);
            if (ltxt) {
                t.length = Le32(body + 4);
                std::memcpy(t.ltxtRest.data(), body + 8, 12);
            }
            t.text = Text(body + head, len - head);
            texts.push_back(std::move(t));
        }
        pos += len;
        if ((len & 1) && pos < n) ++pos;  // pad byte
    }
    for (auto& tag : tags)
        if (!HasInfo(m, tag.first)) m.info.push_back(std::move(tag));
    m.cueTexts.insert(m.cueTexts.end(), texts.begin(), texts.end());
    return true;
}

bool ReadCue(const std::uint8_t* p, std::size_t n, Metadata& m) {
    if (n < 4) return false;
    const std::uint32_t count = Le32(p);
    if (count > (n - 4) / 24) return false;
    std::vector<CuePoint> cues;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* r = p + 4 + 24 * std::size_t(i);
        cues.push_back({Le32(r), Le32(r + 4), Le32(r + 20)});
    }
    m.cues = std::move(cues);
    return true;
}

bool ReadSmpl(const std::uint8_t* p, std::size_t n, Metadata& m) {
    if (n < 36) return false;
    SamplerChunk s;
    s.manufacturer = Le32(p);
    s.product = Le32(p + 4);
    s.samplePeriodNs = Le32(p + 8);
    s.unityNote = Le32(p + 12);
    s.pitchFraction = Le32(p + 16);
    s.smpteFormat = Le32(p + 20);
    s.smpteOffset = Le32(p + 24);
    const std::uint32_t loops = Le32(p + 28), extra = Le32(p + 32);
    if (loops > (n - 36) / 24) return false;
    for (std::uint32_t i = 0; i < loops; ++i) {
        const std::uint8_t* r = p + 36 + 24 * std::size_t(i);
        s.loops.push_back(
            {Le32(r), Le32(r + 4), Le32(r + 8), Le32(r + 12), Le32(r + 16), Le32(r + 20)});
    }
    const std::size_t at = 36 + 24 * std::size_t(loops);
    if (extra > n - at) return false;
    s.samplerData.assign(p + at, p + at + extra);
    m.sampler = std::move(s);
    return true;
}

// Halves away from zero, for milliseconds.
std::string Clock(std::int64_t frames, double rate) {
    if (!(rate > 0)) return std::to_string(frames);
    const auto ms =
        static_cast<std::int64_t>(std::llround(static_cast<double>(frames) * 1000.0 / rate));
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", (long long)(ms / 3600000),
                  (long long)(ms / 60000 % 60), (long long)(ms / 1000 % 60),
                  (long long)(ms % 1000));
    return std::to_string(frames) + " (" + text + ")";
}

// Control characters would break the report's one line per field.
std::string Printable(std::string s) {
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return s;
}

std::uint32_t Clamp32(std::int64_t v) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 0xFFFFFFFF));
}

// The `<name>` element's content range in `text` from `from` on; npos when absent.
std::pair<std::size_t, std::size_t> Element(const std::string& text, const std::string& name) {
    const std::string open = "<" + name + ">", close = "</" + name + ">";
    const std::size_t a = text.find(open);
    if (a == std::string::npos) return {std::string::npos, 0};
    const std::size_t b = text.find(close, a + open.size());
    if (b == std::string::npos) return {std::string::npos, 0};
    return {a + open.size(), b - a - open.size()};
}

// A count written in decimal, with blanks, tabs and line ends around it (an XML writer's
// indentation); at most 19 digits.
std::optional<std::uint64_t> Count(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + std::uint64_t(c - '0');
    }
    return v;
}

std::optional<std::uint64_t> Number(const std::string& text, const std::string& name) {
    const auto [at, len] = Element(text, name);
    if (at == std::string::npos) return std::nullopt;
    return Count(std::string_view(text).substr(at, len));
}

void Replace(std::string& text, const std::string& name, std::uint64_t value) {
    const auto [at, len] = Element(text, name);
    if (at != std::string::npos) text.replace(at, len, std::to_string(value));
}

// Writes `value` split over a HI/LO pair of elements; a HI element the value needs is added
// after the LO one (a writer leaves it out while the value fits in 32 bits).
void WritePair(std::string& text, const std::string& hi, const std::string& lo,
               std::uint64_t value) {
    Replace(text, lo, value & 0xFFFFFFFF);
    // An empty element written self-closed takes the value in place.
    const std::string empty = "<" + hi + "/>";
    if (const std::size_t at = text.find(empty); at != std::string::npos)
        text.replace(at, empty.size(), "<" + hi + "></" + hi + ">");
    if (Element(text, hi).first != std::string::npos) {
        Replace(text, hi, value >> 32);
    } else if (value >> 32) {
        const std::string close = "</" + lo + ">";
        const std::size_t at = text.find(close, Element(text, lo).first);
        if (at != std::string::npos)
            text.insert(at + close.size(),
                        "<" + hi + ">" + std::to_string(value >> 32) + "</" + hi + ">");
    }
}

// A 64-bit sample count split over a HI/LO pair of elements.
void RescalePair(std::string& text, const std::string& hi, const std::string& lo,
                 const PositionMap& map) {
    const auto l = Number(text, lo);
    if (!l) return;
    const std::uint64_t h = Number(text, hi).value_or(0);
    WritePair(text, hi, lo, MapTimeReference(h << 32 | (*l & 0xFFFFFFFF), map));
}

// One row per common tag: INFO identifier, Vorbis, AIFF chunk, APEv2 names.
struct TagRow {
    const char* info;
    const char* vorbis;
    const char* aiff;
    const char* ape;
};
constexpr TagRow kTags[] = {
    {"INAM", "TITLE", "NAME", "Title"},
    {"IART", "ARTIST", "AUTH", "Artist"},
    {"IPRD", "ALBUM", nullptr, "Album"},
    {"ICMT", "COMMENT", "ANNO", "Comment"},
    {"ICRD", "DATE", nullptr, "Year"},
    {"IGNR", "GENRE", nullptr, "Genre"},
    {"ITRK", "TRACKNUMBER", nullptr, "Track"},
    {"ICOP", "COPYRIGHT", "(c) ", "Copyright"},
    // The track number as ffmpeg stores it ("track" in its WAV files); read back as ITRK.
    {"IPRT", "TRACKNUMBER", nullptr, "Track"},
};

const char* Column(const TagRow& r, TagScheme s) {
    switch (s) {
        case TagScheme::Vorbis:
            return r.vorbis;
        case TagScheme::Aiff:
            return r.aiff;
        case TagScheme::Ape:
            return r.ape;
    }
    return nullptr;
}

bool SameName(const std::string& a, const char* b, bool anyCase) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (anyCase) {
            if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        }
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string InfoKeyForTag(TagScheme scheme, const std::string& name) {
    for (const TagRow& r : kTags) {
        const char* n = Column(r, scheme);
        if (n && SameName(name, n, scheme != TagScheme::Aiff)) return r.info;
    }
    return {};
}

const char* TagNameForInfoKey(TagScheme scheme, const std::string& infoKey) {
    for (const TagRow& r : kTags)
        if (infoKey == r.info) return Column(r, scheme);
    return nullptr;
}

bool AddTag(Metadata& m, TagScheme scheme, const std::string& name, const std::string& value) {
    const std::string key = InfoKeyForTag(scheme, name);
    if (key.empty()) return false;
    for (auto& tag : m.info)
        if (tag.first == key) {
            // AIFF holds any number of annotations (and comments): each a line of the comment.
            if (scheme == TagScheme::Aiff && key == "ICMT" && !value.empty())
                tag.second += (tag.second.empty() ? "" : "\n") + value;
            return true;
        }
    m.info.emplace_back(key, value);
    return true;
}

void AdoptTagAliases(Metadata& m, int writerId) {
    auto isReference = [](const ExtraTag& t) {
        return !t.binary && SameName(t.name, "time_reference", true);
    };
    if (m.bext && (writerId == kFlacWriter || writerId == kWavpackWriter)) {
        // The broadcast header goes along whole (in a "riff" block or the WavPack wrapper),
        // where only this program and the flac tool look: its time reference also as the tag
        // ffmpeg writes and reads for it.
        if (std::none_of(m.tags.begin(), m.tags.end(), isReference))
            m.tags.push_back({writerId == kFlacWriter ? TagScheme::Vorbis : TagScheme::Ape,
                              "time_reference", std::to_string(m.bext->timeReference)});
        return;
    }
    if (writerId != kWaveWriter && writerId != kAiffWriter) return;
    // A time reference tag beside a broadcast header is its copy (our FLAC and WavPack files
    // hold both): the header holds it.
    if (m.bext)
        std::erase_if(m.tags, [&](const ExtraTag& t) {
            return isReference(t) && Count(t.value) == m.bext->timeReference;
        });
    struct Alias {
        TagScheme scheme;
        const char* name;
        const char* info;
    };
    static constexpr Alias kAliases[] = {{TagScheme::Vorbis, "DESCRIPTION", "ICMT"},
                                         {TagScheme::Ape, "Date", "ICRD"}};
    for (const Alias& a : kAliases) {
        if (writerId == kAiffWriter && !TagNameForInfoKey(TagScheme::Aiff, a.info)) continue;
        if (HasInfo(m, a.info)) continue;
        const auto it = std::find_if(m.tags.begin(), m.tags.end(), [&](const ExtraTag& t) {
            return !t.binary && t.scheme == a.scheme && SameName(t.name, a.name, true);
        });
        if (it == m.tags.end()) continue;
        m.info.emplace_back(a.info, it->value);
        m.tags.erase(it);
    }
    // A broadcast WAV's header as tags (ffmpeg's FLAC and WavPack files, its time reference
    // first): a WAVE output holds them in a "bext" chunk, when the input brought none.
    if (writerId != kWaveWriter || m.bext) return;
    auto find = [&m](const char* name) {
        return std::find_if(m.tags.begin(), m.tags.end(), [name](const ExtraTag& t) {
            return !t.binary && SameName(t.name, name, true);
        });
    };
    const auto reference = find("time_reference");
    if (reference == m.tags.end() || !Count(reference->value)) return;
    m.bext.emplace();
    m.bext->version = 1;
    m.bext->timeReference = *Count(reference->value);
    m.tags.erase(reference);
    // The texts that fit their fields (bytes of the chunk; the history has no limit).
    const std::pair<const char*, std::string BextChunk::*> texts[] = {
        {"originator", &BextChunk::originator},
        {"originator_reference", &BextChunk::originatorReference},
        {"origination_date", &BextChunk::originationDate},
        {"origination_time", &BextChunk::originationTime},
        {"coding_history", &BextChunk::codingHistory}};
    const std::size_t widths[] = {32, 32, 10, 8, std::string::npos};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        const auto it = find(texts[i].first);
        if (it == m.tags.end() || it->value.size() > widths[i]) continue;
        (*m.bext).*texts[i].second = it->value;
        m.tags.erase(it);
    }
}

std::vector<std::pair<std::string, std::string>> TagsFor(const Metadata& m, TagScheme scheme) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [key, value] : m.info)
        if (const char* name = TagNameForInfoKey(scheme, key)) out.emplace_back(name, value);
    return out;
}

namespace {

// ID3v2 APIC picture types 0-20: the APEv2 item name's part in parentheses and the words of
// a warning.
struct PictureKind {
    const char* ape;
    const char* words;
};
constexpr PictureKind kPictureKinds[] = {
    {"Other", "other"},
    {"Png Icon", "file icon"},
    {"Icon", "other file icon"},
    {"Front", "front cover"},
    {"Back", "back cover"},
    {"Leaflet", "leaflet"},
    {"Media", "media"},
    {"Lead Artist", "lead artist"},
    {"Artist", "artist"},
    {"Conductor", "conductor"},
    {"Band", "band"},
    {"Composer", "composer"},
    {"Lyricist", "lyricist"},
    {"Recording Location", "recording location"},
    {"During Recording", "during recording"},
    {"During Performance", "during performance"},
    {"Video Capture", "video capture"},
    {"Fish", "bright coloured fish"},
    {"Illustration", "illustration"},
    {"Band Logotype", "band logotype"},
    {"Publisher Logotype", "publisher logotype"},
};
constexpr std::uint32_t kPictureKindCount = sizeof kPictureKinds / sizeof kPictureKinds[0];

// "front cover", or "type 99" past the known kinds.
std::string PictureKindWords(const Picture& p) {
    return p.type < kPictureKindCount ? kPictureKinds[p.type].words
                                      : "type " + std::to_string(p.type);
}

std::string PictureWords(const Picture& p) {
    return "picture (" + PictureKindWords(p) + ")";
}

// For a type below kPictureKindCount.
std::string ApePictureName(std::uint32_t type) {
    return std::string("Cover Art (") + kPictureKinds[type].ape + ")";
}

// Names of extra tags that differ between the two schemes.
constexpr std::pair<const char*, const char*> kExtraNames[] = {
    {"ALBUMARTIST", "Album Artist"}, {"CATALOGNUMBER", "Catalog"}, {"DISCNUMBER", "Disc"},
    {"COMPOSER", "Composer"},        {"CONDUCTOR", "Conductor"},   {"LYRICS", "Lyrics"},
    {"PUBLISHER", "Publisher"},      {"LABEL", "Label"},           {"LANGUAGE", "Language"},
};

bool StartsWithAnyCase(const std::string& s, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return s.size() >= n && SameName(s.substr(0, n), prefix, true);
}

// Vorbis field names: printable ASCII but '=' and '~', at least one.
bool VorbisNameAllowed(const std::string& name) {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return c >= 0x20 && c <= 0x7D && c != '='; });
}

// APEv2 item keys: 2 to 255 printable ASCII characters, not a tag's own marker.
bool ApeNameAllowed(const std::string& name) {
    if (name.size() < 2 || name.size() > 255) return false;
    for (const char* reserved : {"ID3", "TAG", "OggS", "MP+"})
        if (SameName(name, reserved, true)) return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The name of `t` in `scheme`.
std::string ExtraNameFor(const ExtraTag& t, TagScheme scheme) {
    if (t.scheme == scheme) return t.name;
    for (const auto& [vorbis, ape] : kExtraNames)
        if (SameName(t.name, t.scheme == TagScheme::Vorbis ? vorbis : ape, true))
            return scheme == TagScheme::Vorbis ? vorbis : ape;
    // A common tag's further value.
    const std::string key = InfoKeyForTag(t.scheme, t.name);
    if (!key.empty())
        if (const char* name = TagNameForInfoKey(scheme, key)) return name;
    std::string name = t.name;
    if (scheme == TagScheme::Vorbis)
        for (char& c : name)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return name;
}

// The MIME type told by an image's first bytes; empty when unknown.
std::string SniffImage(const std::vector<std::uint8_t>& d) {
    auto starts = [&d](const char* magic, std::size_t n, std::size_t at = 0) {
        return d.size() >= at + n && std::memcmp(d.data() + at, magic, n) == 0;
    };
    if (starts("\x89PNG\r\n\x1A\n", 8)) return "image/png";
    if (starts("\xFF\xD8\xFF", 3)) return "image/jpeg";
    if (starts("GIF8", 4)) return "image/gif";
    if (starts("BM", 2)) return "image/bmp";
    if (starts("RIFF", 4) && starts("WEBP", 4, 8)) return "image/webp";
    return {};
}

std::string ExtensionFor(const std::string& mime) {
    for (const auto& [type, ext] : {std::pair{"image/png", ".png"}, std::pair{"image/jpeg", ".jpg"},
                                    std::pair{"image/gif", ".gif"}, std::pair{"image/bmp", ".bmp"},
                                    std::pair{"image/webp", ".webp"}})
        if (mime == type) return ext;
    return {};
}

std::int64_t PictureBytes(const Picture& p) {
    return static_cast<std::int64_t>(p.mime.size() + p.description.size() + p.data.size()) + 32;
}

// A FLAC metadata block's payload holds at most 2^24 - 1 bytes.
constexpr std::int64_t kFlacBlockMax = (std::int64_t{1} << 24) - 1;
// libFLAC's encoder refuses a picture block of the last three of those sizes (a file failed).
constexpr std::int64_t kFlacPictureMax = kFlacBlockMax - 3;
// libwavpack's APEv2 tag: at most 16 MiB, from its 32-byte footer on, each item taking 9
// bytes besides its name and value (an item past it was refused, and lost without a word).
constexpr std::int64_t kApeTagMax = std::int64_t{16} << 20;
constexpr std::int64_t kApeTagFooter = 32;
constexpr std::int64_t kApeItemOverhead = 9;
// Room kept in the comment block for the vendor text and the speaker layout tag.
constexpr std::int64_t kVorbisReserve = 1024;

// Past the cap: the first item dropped is named; nothing after it is kept (carriedBytes stays
// above the cap), which the same warning says.
std::string DropForCap(Metadata& m, const std::string& what) {
    if (m.carriedBytes > kMaxCarriedMetadata) return {};
    m.carriedBytes = kMaxCarriedMetadata + 1;
    return "metadata: " + what + " dropped, with every tag and picture after it: an input's " +
           "tags and pictures are kept up to " + std::to_string(kMaxCarriedMetadata >> 20) + " MiB";
}

}  // namespace

std::string KeepPicture(Metadata& m, Picture p) {
    const std::int64_t bytes = PictureBytes(p);
    if (bytes > kMaxCarriedMetadata - m.carriedBytes) return DropForCap(m, PictureWords(p));
    m.carriedBytes += bytes;
    m.pictures.push_back(std::move(p));
    return {};
}

std::string KeepTag(Metadata& m, TagScheme scheme, const std::string& name, std::string value,
                    bool binary) {
    if (binary && scheme == TagScheme::Ape) {
        for (std::uint32_t type = 0; type < kPictureKindCount; ++type) {
            if (!SameName(name, ApePictureName(type).c_str(), true)) continue;
            // "file name", NUL, the image's bytes.
            Picture p;
            p.type = type;
            const std::size_t nul = value.find('\0');
            const std::size_t at = nul == std::string::npos ? 0 : nul + 1;
            if (nul != std::string::npos) p.description = TagTextAsUtf8(value.substr(0, nul));
            p.data.assign(value.begin() + static_cast<std::ptrdiff_t>(at), value.end());
            p.mime = SniffImage(p.data);
            if (p.mime.empty()) p.mime = "application/octet-stream";
            if (p.mime == "image/png" && p.data.size() >= 26 &&
                std::memcmp(p.data.data() + 12, "IHDR", 4) == 0) {
                // IHDR: width, height, bit depth, colour type.
                p.width = Be32(p.data.data() + 16);
                p.height = Be32(p.data.data() + 20);
                constexpr std::uint32_t kSamples[7] = {1, 0, 3, 1, 2, 0, 4};
                const std::uint8_t colour = p.data[25];
                if (colour < 7) p.depth = p.data[24] * kSamples[colour];
            }
            return KeepPicture(m, std::move(p));
        }
    }
    std::vector<std::string> values;
    if (scheme == TagScheme::Ape && !binary)
        values = ApeValues(value);
    else
        values.push_back(std::move(value));
    std::string warning;
    for (std::string& v : values) {
        const std::string key = binary ? std::string() : InfoKeyForTag(scheme, name);
        const bool common = !key.empty();
        if (common && !HasInfo(m, key)) {
            m.info.emplace_back(key, std::move(v));
            continue;
        }
        const auto bytes = static_cast<std::int64_t>(name.size() + v.size()) + 8;
        if (bytes > kMaxCarriedMetadata - m.carriedBytes) {
            if (warning.empty()) warning = DropForCap(m, "tag " + name);
            continue;
        }
        m.carriedBytes += bytes;
        m.tags.push_back({scheme, name, std::move(v), binary});
    }
    return warning;
}

std::vector<TagOut> ContainerTags(const Metadata& m, TagScheme scheme,
                                  std::vector<std::string>* leftOut) {
    std::vector<TagOut> out;
    auto leave = [leftOut](std::string what) {
        if (leftOut) AddOnce(*leftOut, std::move(what));
    };
    // Common tags from WAV INFO or AIFF text may be Latin-1: both schemes hold UTF-8.
    for (auto& [name, value] : TagsFor(m, scheme)) out.push_back({name, TagTextAsUtf8(value)});
    for (const ExtraTag& t : m.tags) {
        const std::string name = ExtraNameFor(t, scheme);
        const bool allowed = scheme == TagScheme::Vorbis ? VorbisNameAllowed(name) && !t.binary
                                                         : ApeNameAllowed(name);
        if (!allowed) {
            leave((t.binary ? "binary item " : "tag ") + t.name);
            continue;
        }
        if (scheme == TagScheme::Ape) {
            // One item per name (names compare in any case): values joined.
            auto same = std::find_if(out.begin(), out.end(), [&](const TagOut& o) {
                return SameName(o.name, name.c_str(), true);
            });
            if (same != out.end()) {
                if (same->binary || t.binary) {
                    leave((t.binary ? "binary item " : "tag ") + t.name);
                } else {
                    same->value += '\0';
                    same->value += TagTextAsUtf8(t.value);
                }
                continue;
            }
        }
        out.push_back({name, t.binary ? t.value : TagTextAsUtf8(t.value), t.binary});
    }
    if (scheme == TagScheme::Vorbis) {
        // The comment block: vendor text and count, then a length and "NAME=value" each.
        std::int64_t bytes = kVorbisReserve;
        std::vector<TagOut> fit;
        for (TagOut& o : out) {
            bytes += static_cast<std::int64_t>(o.name.size() + o.value.size()) + 5;
            if (bytes > kFlacBlockMax)
                leave("tag " + o.name);
            else
                fit.push_back(std::move(o));
        }
        return fit;
    }
    if (scheme == TagScheme::Ape) {
        std::int64_t bytes = kApeTagFooter;
        auto fits = [&bytes](const std::string& name, const std::string& value) {
            const auto item = static_cast<std::int64_t>(name.size() + value.size());
            if (bytes + kApeItemOverhead + item > kApeTagMax) return false;
            bytes += kApeItemOverhead + item;
            return true;
        };
        std::vector<TagOut> fit;
        for (TagOut& o : out)
            if (fits(o.name, o.value))
                fit.push_back(std::move(o));
            else
                leave((o.binary ? "binary item " : "tag ") + o.name);
        out = std::move(fit);
        for (const Picture& p : m.pictures) {
            const std::string name = p.type < kPictureKindCount ? ApePictureName(p.type) : "";
            if (name.empty() || p.mime == "-->" ||
                std::any_of(out.begin(), out.end(), [&](const TagOut& o) {
                    return SameName(o.name, name.c_str(), true);
                })) {
                leave(PictureWords(p));
                continue;
            }
            // A file name: readers tell the type by its extension (the WavPack tools name a
            // picture by its item).
            const std::string ext = ExtensionFor(p.mime);
            std::string file = p.description;
            if (file.empty() || file.find('\0') != std::string::npos) file = name;
            if (file.size() < ext.size() ||
                !SameName(file.substr(file.size() - ext.size()), ext.c_str(), true))
                file += ext;
            std::string value = file + '\0';
            value.append(p.data.begin(), p.data.end());
            if (!fits(name, value)) {
                leave(PictureWords(p));
                continue;
            }
            out.push_back({name, std::move(value), true});
        }
    }
    return out;
}

std::vector<const Picture*> FlacPictures(const Metadata& m, std::vector<std::string>* leftOut) {
    std::vector<const Picture*> out;
    bool icon = false, otherIcon = false;
    for (const Picture& p : m.pictures) {
        // libFLAC takes one file icon (a 32 x 32 PNG) and one other file icon.
        bool fits = PictureBytes(p) <= kFlacPictureMax;
        if (p.type == 1)
            fits = fits && !std::exchange(icon, true) &&
                   (p.mime == "image/png" || p.mime == "-->") && p.width == 32 && p.height == 32;
        if (p.type == 2) fits = fits && !std::exchange(otherIcon, true);
        if (fits)
            out.push_back(&p);
        else if (leftOut)
            leftOut->push_back(PictureWords(p));
    }
    return out;
}

std::vector<std::string> DropLoudnessTags(Metadata& m) {
    std::vector<std::string> names;
    auto loudness = [](const ExtraTag& t) {
        return !t.binary &&
               (StartsWithAnyCase(t.name, "REPLAYGAIN_") || StartsWithAnyCase(t.name, "R128_") ||
                StartsWithAnyCase(t.name, "MP3GAIN_"));
    };
    for (const ExtraTag& t : m.tags)
        if (loudness(t)) AddOnce(names, t.name);
    std::erase_if(m.tags, loudness);
    return names;
}

std::vector<std::string> ApeValues(const std::string& value) {
    std::vector<std::string> values;
    for (std::size_t at = 0, nul = 0; nul != std::string::npos; at = nul + 1) {
        nul = value.find('\0', at);
        values.push_back(value.substr(at, nul == std::string::npos ? nul : nul - at));
    }
    return values;
}

void AddOnce(std::vector<std::string>& list, std::string item) {
    if (!item.empty() && std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(std::move(item));
}

std::string TagTextAsUtf8(const std::string& text) {
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80         ? 1
                              : (c >> 5) == 6  ? 2
                              : (c >> 4) == 14 ? 3
                              : (c >> 3) == 30 ? 4
                                               : 0;
        valid = n > 0 && n <= text.size() - i && !(n == 2 && c < 0xC2) && !(c > 0xF4);
        for (std::size_t k = 1; valid && k < n; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && n == 3) {
            const auto d = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);
        }
        if (valid && n == 4) {
            const auto d = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
        }
        i += n;
    }
    if (valid) return text;
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string ReadAiffMarkers(const std::uint8_t* p, std::size_t n, Metadata& m) {
    if (n < 2) return Malformed("MARK");
    const std::size_t count = std::size_t(p[0]) << 8 | p[1];
    std::vector<CuePoint> cues;
    std::vector<CueText> names;
    std::size_t pos = 2;
    for (std::size_t i = 0; i < count; ++i) {
        if (n - pos < 7) return Malformed("MARK");
        const std::uint32_t id = std::uint32_t(p[pos]) << 8 | p[pos + 1];
        const std::uint32_t at = std::uint32_t(p[pos + 2]) << 24 | std::uint32_t(p[pos + 3]) << 16 |
                                 std::uint32_t(p[pos + 4]) << 8 | p[pos + 5];
        const std::size_t length = p[pos + 6];
        pos += 7;
        if (length > n - pos) return Malformed("MARK");
        cues.push_back({id, at, at});
        if (length > 0) {
            CueText t;
            std::memcpy(t.kind.data(), "labl", 4);
            t.cueId = id;
            t.text = Text(p + pos, length);
            names.push_back(std::move(t));
        }
        pos += length;
        if (!(length & 1) && pos < n) ++pos;  // count byte and text end even
    }
    m.cues = std::move(cues);
    m.cueTexts.insert(m.cueTexts.end(), names.begin(), names.end());
    return "";
}

std::string ReadAiffComments(const std::uint8_t* p, std::size_t n, Metadata& m) {
    if (n < 2) return Malformed("COMT");
    const std::size_t count = std::size_t(p[0]) << 8 | p[1];
    std::string text;
    std::size_t pos = 2;
    for (std::size_t i = 0; i < count; ++i) {
        // A time stamp (4 bytes), a marker id (2), the text's length (2), the text (even).
        if (n - pos < 8) return Malformed("COMT");
        const std::size_t length = std::size_t(p[pos + 6]) << 8 | p[pos + 7];
        pos += 8;
        if (length > n - pos) return Malformed("COMT");
        // sox stamps every AIFF it writes: the program, not a comment of the audio's.
        const std::string comment = Text(p + pos, length);
        if (comment != "Processed by SoX") text += (text.empty() ? "" : "\n") + comment;
        pos = std::min(n, pos + length + (length & 1));  // the last text's pad may be missing
    }
    if (!text.empty()) AddTag(m, TagScheme::Aiff, "ANNO", text);
    return "";
}

namespace {

constexpr std::uint32_t kMaxMarkerId = 0x7FFF;

// The id each cue point is written under in an AIFF "MARK": ids are unique and 1-32767 there.
// A cue's own id where it fits and no earlier cue holds it; the others (0, past 32767, a
// repeated id) get the smallest ids nobody holds, in order; 0 once none is left (not written).
// `firstFree`, if given, receives the smallest id left over (0 when none is).
std::vector<std::uint32_t> AiffMarkerIds(const std::vector<CuePoint>& cues,
                                         std::uint32_t* firstFree = nullptr) {
    std::vector<std::uint32_t> ids(cues.size(), 0);
    std::vector<bool> taken(kMaxMarkerId + 1, false);
    for (std::size_t i = 0; i < cues.size(); ++i) {
        const std::uint32_t id = cues[i].id;
        if (id >= 1 && id <= kMaxMarkerId && !taken[id]) taken[id] = true, ids[i] = id;
    }
    std::uint32_t next = 1;
    for (std::size_t i = 0; i < cues.size(); ++i) {
        if (ids[i] != 0) continue;
        while (next <= kMaxMarkerId && taken[next]) ++next;
        if (next > kMaxMarkerId) break;
        taken[next] = true;
        ids[i] = next;
    }
    if (firstFree) {
        while (next <= kMaxMarkerId && taken[next]) ++next;
        *firstFree = next <= kMaxMarkerId ? next : 0;
    }
    return ids;
}

}  // namespace

std::vector<std::uint8_t> EncodeAiffMarkers(const Metadata& m) {
    Bytes b;
    if (m.cues.empty()) return b;
    const std::vector<std::uint32_t> ids = AiffMarkerIds(m.cues);
    const auto count = static_cast<std::size_t>(
        std::count_if(ids.begin(), ids.end(), [](std::uint32_t id) { return id != 0; }));
    b.push_back(static_cast<std::uint8_t>(count >> 8));
    b.push_back(static_cast<std::uint8_t>(count));
    // The labels of each cue id, in order: the n-th cue of a repeated id takes its n-th label.
    std::unordered_map<std::uint32_t, std::vector<const std::string*>> labels;
    for (const CueText& t : m.cueTexts)
        if (Is(t.kind.data(), "labl")) labels[t.cueId].push_back(&t.text);
    std::unordered_map<std::uint32_t, std::size_t> seen;  // cues of each id so far
    for (std::size_t i = 0; i < m.cues.size(); ++i) {
        const CuePoint& c = m.cues[i];
        const std::size_t rank = seen[c.id]++;
        const std::uint32_t id = ids[i];
        if (id == 0) continue;
        std::string name;
        if (const auto it = labels.find(c.id); it != labels.end() && rank < it->second.size())
            name = it->second[rank]->substr(0, 255);
        b.push_back(static_cast<std::uint8_t>(id >> 8));
        b.push_back(static_cast<std::uint8_t>(id));
        for (int k = 0; k < 4; ++k)
            b.push_back(static_cast<std::uint8_t>(c.sampleOffset >> (24 - 8 * k)));
        b.push_back(static_cast<std::uint8_t>(name.size()));
        b.insert(b.end(), name.begin(), name.end());
        if (!(name.size() & 1)) b.push_back(0);
    }
    return b;
}

namespace {

// The id a marker read from an AIFF file is known by (1-32767).
std::uint32_t MarkerId(std::uint32_t id) {
    return std::clamp<std::uint32_t>(id, 1, kMaxMarkerId);
}

}  // namespace

std::string ReadAiffInstrument(const std::uint8_t* p, std::size_t n, Metadata& m, double rate) {
    if (n < 20) return Malformed("INST");
    const auto gain = static_cast<std::int16_t>(p[6] << 8 | p[7]);
    m.instrument = std::array<std::uint8_t, 7>{
        p[0], p[1], static_cast<std::uint8_t>(std::clamp<int>(gain, -128, 127)), p[2], p[3],
        p[4], p[5]};
    std::vector<SamplerLoop> loops;
    for (std::uint32_t i = 0; i < 2; ++i) {
        const std::uint8_t* l = p + 8 + 6 * i;
        const int mode = l[0] << 8 | l[1];
        if (mode != 1 && mode != 2) continue;
        const std::uint32_t begin = std::uint32_t(l[2]) << 8 | l[3],
                            end = std::uint32_t(l[4]) << 8 | l[5];
        const CuePoint *a = nullptr, *b = nullptr;
        for (const CuePoint& c : m.cues) {
            if (!a && MarkerId(c.id) == begin) a = &c;
            if (!b && MarkerId(c.id) == end) b = &c;
        }
        if (!a || !b || b->sampleOffset <= a->sampleOffset) continue;
        loops.push_back({i, mode == 2 ? 1u : 0u, a->sampleOffset, b->sampleOffset - 1, 0, 0});
    }
    if (!loops.empty()) {
        if (!m.sampler) {
            m.sampler.emplace();
            m.sampler->unityNote = p[0];
            if (rate > 0) m.sampler->samplePeriodNs = Clamp32(std::llround(1e9 / rate));
        }
        m.sampler->loops = std::move(loops);
    }
    return "";
}

std::vector<std::uint8_t> EncodeAiffInstrument(Metadata& m) {
    if (!m.instrument && !m.sampler) return {};
    std::array<std::uint8_t, 7> inst{60, 0, 0, 0, 127, 1, 127};
    if (m.instrument) {
        inst = *m.instrument;
    } else {
        // The sampler's note and its fraction of a semitone: the nearest note and a detune of
        // -50 to +50 cents.
        const double note = std::min(
            double(m.sampler->unityNote) + std::ldexp(double(m.sampler->pitchFraction), -32),
            127.0);
        const double whole = std::round(note);
        inst[0] = static_cast<std::uint8_t>(whole);
        inst[1] = static_cast<std::uint8_t>(
            static_cast<std::int8_t>(std::clamp(std::round((note - whole) * 100), -50.0, 50.0)));
    }
    const auto gain =
        static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(inst[2])));
    Bytes b = {inst[0],
               inst[1],
               inst[3],
               inst[4],
               inst[5],
               inst[6],
               static_cast<std::uint8_t>(gain >> 8),
               static_cast<std::uint8_t>(gain)};
    // The id of the marker at `frame` (as EncodeAiffMarkers writes it), added under an id
    // nobody holds when none is there; 0 when ids ran out.
    auto marker = [&](std::uint32_t frame) -> std::uint32_t {
        std::uint32_t free = 0;
        const std::vector<std::uint32_t> ids = AiffMarkerIds(m.cues, &free);
        for (std::size_t i = 0; i < m.cues.size(); ++i)
            if (ids[i] != 0 && m.cues[i].sampleOffset == frame) return ids[i];
        if (free != 0) m.cues.push_back({free, frame, frame});
        return free;
    };
    for (std::size_t i = 0; i < 2; ++i) {
        std::uint32_t mode = 0, begin = 0, end = 0;
        if (m.sampler && i < m.sampler->loops.size()) {
            const SamplerLoop& l = m.sampler->loops[i];
            if (l.end >= l.start && l.end < 0xFFFFFFFF) {
                begin = marker(l.start);
                end = marker(l.end + 1);
                mode = begin && end ? (l.type == 1 ? 2 : 1) : 0;
            }
        }
        for (std::uint32_t v : {mode, begin, end}) {
            b.push_back(static_cast<std::uint8_t>(v >> 8));
            b.push_back(static_cast<std::uint8_t>(v));
        }
    }
    return b;
}

bool IsMetadataChunk(const char id[4]) {
    for (const char* name : {"bext", "iXML", "LIST", "cue ", "smpl", "inst", "ID3 ", "id3 "})
        if (Is(id, name)) return true;
    return false;
}

namespace {

// A RIFX chunk's payload in the little-endian layout: each numeric field
// within `b` turned around (fields past the end stay as they are; the
// readers then find the chunk short).
void SwapToLittle(const char* id, Bytes& b) {
    auto swap = [&](std::size_t at, std::size_t width) {
        if (at + width <= b.size()) std::reverse(b.begin() + at, b.begin() + at + width);
    };
    auto u32 = [&](std::size_t at) { return at + 4 <= b.size() ? Le32(b.data() + at) : 0u; };
    if (Is(id, "bext")) {
        if (b.size() < 602) return;
        swap(338, 4);
        swap(342, 4);
        swap(346, 2);
        for (std::size_t i = 0; i < 5; ++i) swap(412 + 2 * i, 2);
    } else if (Is(id, "cue ")) {
        swap(0, 4);
        const std::size_t count = std::min<std::size_t>(u32(0), b.size() / 24);
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t at : {0, 4, 12, 16, 20}) swap(4 + 24 * i + at, 4);
    } else if (Is(id, "smpl")) {
        for (std::size_t i = 0; i < 9; ++i) swap(4 * i, 4);
        const std::size_t loops = std::min<std::size_t>(u32(28), b.size() / 24);
        for (std::size_t i = 0; i < loops * 6; ++i) swap(36 + 4 * i, 4);
    } else if (Is(id, "LIST")) {
        const bool adtl = b.size() >= 4 && Is(reinterpret_cast<const char*>(b.data()), "adtl");
        std::size_t pos = 4;
        while (pos + 8 <= b.size()) {
            const char* sub = reinterpret_cast<const char*>(b.data() + pos);
            swap(pos + 4, 4);
            const std::size_t len = u32(pos + 4), body = pos + 8;
            if (adtl && len >= 4) swap(body, 4);
            if (adtl && Is(sub, "ltxt") && len >= 20) {
                swap(body + 4, 4);
                for (std::size_t i = 0; i < 4; ++i) swap(body + 12 + 2 * i, 2);
            }
            if (len > b.size() - body) return;
            pos = body + len + (len & 1);
        }
    }
}

// ID3v2 frame names (v2.3/2.4 and v2.2) of the common tags.
constexpr struct {
    const char* v4;
    const char* v2;
    const char* info;
} kId3Frames[] = {{"TIT2", "TT2", "INAM"}, {"TPE1", "TP1", "IART"}, {"TALB", "TAL", "IPRD"},
                  {"COMM", "COM", "ICMT"}, {"TDRC", "TYE", "ICRD"}, {"TYER", "TYE", "ICRD"},
                  {"TCON", "TCO", "IGNR"}, {"TRCK", "TRK", "ITRK"}};

void PutUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// An ID3 text of `encoding` (0 Latin-1, 1 UTF-16 with BOM, 2 UTF-16BE,
// 3 UTF-8) as UTF-8, up to its terminator; `used` gets the bytes it took
// with the terminator.
std::string Id3Text(const std::uint8_t* p, std::size_t n, int encoding, std::size_t* used) {
    std::string out;
    if (encoding == 1 || encoding == 2) {
        bool big = encoding == 2;
        std::size_t i = 0;
        if (encoding == 1 && n >= 2 && (p[0] == 0xFE || p[0] == 0xFF) && p[0] + p[1] == 0x1FD) {
            big = p[0] == 0xFE;
            i = 2;
        }
        auto unit = [&](std::size_t at) {
            return big ? std::uint32_t(p[at]) << 8 | p[at + 1]
                       : std::uint32_t(p[at + 1]) << 8 | p[at];
        };
        for (; i + 1 < n; i += 2) {
            std::uint32_t c = unit(i);
            if (c == 0) {
                i += 2;
                break;
            }
            if (c >= 0xD800 && c < 0xDC00 && i + 3 < n) {
                const std::uint32_t low = unit(i + 2);
                if (low >= 0xDC00 && low < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            PutUtf8(out, c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);
        }
        if (used) *used = std::min(i, n);
        return out;
    }
    std::size_t i = 0;
    for (; i < n && p[i]; ++i)
        if (encoding == 3)
            out += static_cast<char>(p[i]);
        else
            PutUtf8(out, p[i]);
    if (used) *used = std::min(i + 1, n);
    return encoding == 3 ? TagTextAsUtf8(out) : out;
}

}  // namespace

std::string ReadId3Tag(const std::uint8_t* p, std::size_t n, Metadata& m) {
    if (n < 10 || std::memcmp(p, "ID3", 3) != 0 || p[3] < 2 || p[3] > 4) return Malformed("ID3");
    const int version = p[3];
    const std::uint8_t flags = p[5];
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return Malformed("ID3");
    const std::size_t declared =
        std::size_t(p[6]) << 21 | std::size_t(p[7]) << 14 | std::size_t(p[8]) << 7 | p[9];
    if (declared > n - 10) return Malformed("ID3");
    Bytes tag(p + 10, p + 10 + declared);
    // Whole-tag unsynchronisation (v2.2, v2.3): a 0 after each 0xFF is padding.
    if ((flags & 0x80) && version < 4) {
        Bytes plain;
        for (std::size_t i = 0; i < tag.size(); ++i)
            if (!(tag[i] == 0 && i > 0 && tag[i - 1] == 0xFF)) plain.push_back(tag[i]);
        tag.swap(plain);
    }
    std::size_t pos = 0;
    if ((flags & 0x40) && version >= 3) {  // extended header
        if (tag.size() < 4) return Malformed("ID3");
        const std::size_t size =
            version == 4 ? (std::size_t(tag[0] & 0x7F) << 21 | std::size_t(tag[1] & 0x7F) << 14 |
                            std::size_t(tag[2] & 0x7F) << 7 | (tag[3] & 0x7F))
                         : std::size_t(Be32(tag.data())) + 4;
        if (size > tag.size()) return Malformed("ID3");
        pos = size;
    }
    const std::size_t head = version == 2 ? 6 : 10, idLength = version == 2 ? 3 : 4;
    std::vector<std::pair<std::string, std::string>> found;
    std::vector<std::string> passed;             // ids of the frames not read, each once
    constexpr std::size_t kMaxNamedFrames = 16;  // then "..."
    while (tag.size() - pos >= head && tag[pos] != 0) {
        const std::uint8_t* f = tag.data() + pos;
        std::size_t size;
        if (version == 2)
            size = std::size_t(f[3]) << 16 | std::size_t(f[4]) << 8 | f[5];
        else if (version == 3)
            size = Be32(f + 4);
        else
            size = std::size_t(f[4] & 0x7F) << 21 | std::size_t(f[5] & 0x7F) << 14 |
                   std::size_t(f[6] & 0x7F) << 7 | (f[7] & 0x7F);
        if (size > tag.size() - pos - head) return Malformed("ID3");
        const std::string id(reinterpret_cast<const char*>(f), idLength);
        // Compressed or encrypted frames are passed over.
        const bool plain = version == 2 || (version == 3 ? !(f[9] & 0xC0) : !(f[9] & 0x0E));
        const std::uint8_t* body = f + head;
        const std::size_t before = found.size();
        for (const auto& row : kId3Frames) {
            if (!plain || size < 1 || id != (version == 2 ? row.v2 : row.v4)) continue;
            const int encoding = body[0];
            if (encoding > 3) break;
            std::size_t at = 1, used = 0;
            if (row.info == std::string("ICMT")) {  // language, then a description
                if (size < 4) break;
                at = 4;
                Id3Text(body + at, size - at, encoding, &used);
                at += used;
            }
            found.emplace_back(row.info, Id3Text(body + at, size - at, encoding, nullptr));
            break;
        }
        const bool printable = std::all_of(id.begin(), id.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
        const std::string label = printable ? id : "?";
        // TSSE (TSS in version 2.2) names the program that encoded the input, not a tag of
        // the audio's.
        const bool stamp = label == "TSSE" || label == "TSS";
        if (found.size() == before && !stamp &&
            std::find(passed.begin(), passed.end(), label) == passed.end())
            passed.push_back(passed.size() < kMaxNamedFrames ? label : "...");
        pos += head + size;
    }
    for (auto& tag : found)
        if (!HasInfo(m, tag.first)) m.info.push_back(std::move(tag));
    // Said, as no output gets them (pictures, other text frames).
    if (passed.empty()) return "";
    std::string warning = "metadata: ID3 frames not read:";
    for (std::size_t i = 0; i < passed.size(); ++i) warning += (i ? ", " : " ") + passed[i];
    return warning;
}

std::string ReadMetadataChunk(const char id[4], const std::uint8_t* payload, std::size_t n,
                              Metadata& m, bool bigEndian) {
    Bytes swapped;
    const std::uint8_t* p = payload;
    if (bigEndian && n > 0 && !Is(id, "iXML")) {
        swapped.assign(payload, payload + n);
        SwapToLittle(id, swapped);
        p = swapped.data();
    }
    if (Is(id, "ID3 ") || Is(id, "id3 ")) return ReadId3Tag(p, n, m);
    if (Is(id, "bext")) return ReadBext(p, n, m) ? "" : Malformed("bext");
    if (Is(id, "iXML")) {
        m.ixml = Text(p, n);
        return "";
    }
    if (Is(id, "LIST")) {
        // Lists other than INFO and adtl (a camera's "exif") are not carried: said, as the
        // chunks not read are (they were dropped without a word).
        if (n >= 4 && !Is(reinterpret_cast<const char*>(p), "INFO") &&
            !Is(reinterpret_cast<const char*>(p), "adtl")) {
            std::string type;
            for (std::size_t i = 0; i < 4; ++i)
                type += p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '?';
            while (!type.empty() && type.back() == ' ') type.pop_back();
            return "metadata: LIST " + type + " chunk not read, dropped";
        }
        return ReadList(p, n, m) ? "" : Malformed("LIST");
    }
    if (Is(id, "cue ")) return ReadCue(p, n, m) ? "" : Malformed("cue");
    if (Is(id, "smpl")) return ReadSmpl(p, n, m) ? "" : Malformed("smpl");
    if (Is(id, "inst")) {
        if (n < 7) return Malformed("inst");
        std::array<std::uint8_t, 7> inst;
        std::memcpy(inst.data(), p, 7);
        m.instrument = inst;
    }
    return "";
}

std::vector<std::pair<std::array<char, 4>, std::vector<std::uint8_t>>> EncodeMetadata(
    const Metadata& m) {
    std::vector<std::pair<std::array<char, 4>, Bytes>> out;
    auto add = [&](const char* id, Bytes b) {
        std::array<char, 4> name;
        std::memcpy(name.data(), id, 4);
        out.emplace_back(name, std::move(b));
    };
    if (m.bext) {
        const BextChunk& x = *m.bext;
        Bytes b;
        PutField(b, x.description, 256);
        PutField(b, x.originator, 32);
        PutField(b, x.originatorReference, 32);
        PutField(b, x.originationDate, 10);
        PutField(b, x.originationTime, 8);
        Put32(b, static_cast<std::uint32_t>(x.timeReference));
        Put32(b, static_cast<std::uint32_t>(x.timeReference >> 32));
        Put16(b, x.version);
        b.insert(b.end(), x.umid.begin(), x.umid.end());
        b.insert(b.end(), x.loudness.begin(), x.loudness.end());
        b.insert(b.end(), 180, 0);
        b.insert(b.end(), x.codingHistory.begin(), x.codingHistory.end());
        add("bext", std::move(b));
    }
    if (m.ixml) add("iXML", Bytes(m.ixml->begin(), m.ixml->end()));
    if (!m.info.empty()) {
        Bytes b;
        PutId(b, "INFO");
        for (const auto& [key, value] : m.info)
            if (key.size() == 4) PutTextChunk(b, key.c_str(), {}, value);
        add("LIST", std::move(b));
    }
    if (!m.cues.empty()) {
        Bytes b;
        Put32(b, static_cast<std::uint32_t>(m.cues.size()));
        for (const CuePoint& c : m.cues) {
            Put32(b, c.id);
            Put32(b, c.position);
            PutId(b, "data");
            Put32(b, 0);
            Put32(b, 0);
            Put32(b, c.sampleOffset);
        }
        add("cue ", std::move(b));
    }
    if (!m.cueTexts.empty()) {
        Bytes b;
        PutId(b, "adtl");
        for (const CueText& t : m.cueTexts) {
            Bytes head;
            Put32(head, t.cueId);
            if (Is(t.kind.data(), "ltxt")) {
                Put32(head, t.length);
                head.insert(head.end(), t.ltxtRest.begin(), t.ltxtRest.end());
            }
            PutTextChunk(b, t.kind.data(), head, t.text);
        }
        add("LIST", std::move(b));
    }
    if (m.sampler) {
        const SamplerChunk& s = *m.sampler;
        Bytes b;
        for (std::uint32_t v : {s.manufacturer, s.product, s.samplePeriodNs, s.unityNote,
                                s.pitchFraction, s.smpteFormat, s.smpteOffset})
            Put32(b, v);
        Put32(b, static_cast<std::uint32_t>(s.loops.size()));
        Put32(b, static_cast<std::uint32_t>(s.samplerData.size()));
        for (const SamplerLoop& l : s.loops)
            for (std::uint32_t v : {l.id, l.type, l.start, l.end, l.fraction, l.playCount})
                Put32(b, v);
        b.insert(b.end(), s.samplerData.begin(), s.samplerData.end());
        add("smpl", std::move(b));
    }
    if (m.instrument) add("inst", Bytes(m.instrument->begin(), m.instrument->end()));
    return out;
}

std::vector<std::string> ReadRiffChunks(const std::uint8_t* p, std::size_t n, Metadata& m,
                                        bool& bigEndian, std::vector<std::string>& unread) {
    std::vector<std::string> warnings;
    std::size_t pos = 0;
    if (n >= 12 && (Is(reinterpret_cast<const char*>(p), "RIFF") ||
                    Is(reinterpret_cast<const char*>(p), "RF64") ||
                    Is(reinterpret_cast<const char*>(p), "RIFX"))) {
        bigEndian = Is(reinterpret_cast<const char*>(p), "RIFX");
        pos = 12;
    }
    while (n - pos >= 8) {
        char id[4];
        std::memcpy(id, p + pos, 4);
        const std::uint32_t size = bigEndian ? Be32(p + pos + 4) : Le32(p + pos + 4);
        pos += 8;
        if (Is(id, "data")) continue;  // the samples are stored elsewhere
        std::string name(id, 4);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (size > n - pos) {
            if (IsMetadataChunk(id))
                warnings.push_back("metadata: " + name + " chunk truncated, dropped");
            break;
        }
        if (IsMetadataChunk(id)) {
            if (size > kMaxMetadataChunk) {
                warnings.push_back("metadata: " + name + " chunk too large, dropped");
            } else {
                std::string w = ReadMetadataChunk(id, p + pos, size, m, bigEndian);
                if (!w.empty()) warnings.push_back(std::move(w));
            }
        } else {
            NameUnreadChunk(unread, std::string(id, 4));
        }
        pos += size;
        if ((size & 1) && pos < n) ++pos;
    }
    return warnings;
}

void NameUnreadChunk(std::vector<std::string>& unread, const std::string& id) {
    // Identifiers are letters and digits, with blanks, '_' or '-'.
    auto usual = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == ' ' || c == '_' || c == '-';
    };
    if (id.size() != 4 || !std::all_of(id.begin(), id.end(), usual) || id[0] == ' ') return;
    // PEAK: the peaks of the input's samples, which libsndfile writes into every float file.
    for (const char* filler : {"JUNK", "junk", "JUNQ", "PAD ", "FLLR", "ds64", "fact", "fmt ",
                               "data", "FVER", "COMM", "SSND", "CHAN", "FORM", "PEAK"})
        if (id == filler) return;
    std::string name = id;
    while (name.back() == ' ') name.pop_back();
    AddOnce(unread, std::move(name));
}

std::vector<std::string> ReadAiffChunks(const std::uint8_t* p, std::size_t n, Metadata& m,
                                        double rate, std::vector<std::string>& unread) {
    std::vector<std::string> warnings;
    auto warn = [&warnings](std::string w) {
        if (!w.empty()) warnings.push_back(std::move(w));
    };
    std::size_t pos = 0;
    if (n >= 12 && Is(reinterpret_cast<const char*>(p), "FORM")) pos = 12;
    const std::uint8_t* instrument = nullptr;
    std::size_t instrumentSize = 0;
    bool markers = false;
    while (n - pos >= 8) {
        char id[4];
        std::memcpy(id, p + pos, 4);
        const std::uint32_t size = Be32(p + pos + 4);
        pos += 8;
        std::string name(id, 4);
        if (Is(id, "SSND")) {
            pos += std::min<std::size_t>(8, n - pos);  // offset and block size; no samples
            continue;
        }
        while (!name.empty() && name.back() == ' ') name.pop_back();
        const bool text = !InfoKeyForTag(TagScheme::Aiff, std::string(id, 4)).empty();
        const bool read = text || Is(id, "MARK") || Is(id, "INST") || Is(id, "ID3 ") ||
                          Is(id, "id3 ") || Is(id, "COMT");
        if (size > n - pos) {
            if (read) warn("metadata: " + name + " chunk truncated, dropped");
            break;
        }
        const std::uint8_t* payload = p + pos;
        pos += size + ((size & 1) && pos + size < n);
        if (read && size > kMaxMetadataChunk) {
            warn("metadata: " + name + " chunk too large, dropped");
        } else if (text) {
            const auto* end = static_cast<const std::uint8_t*>(std::memchr(payload, 0, size));
            AddTag(m, TagScheme::Aiff, std::string(id, 4),
                   std::string(reinterpret_cast<const char*>(payload),
                               end ? std::size_t(end - payload) : size));
        } else if (Is(id, "MARK") && !markers) {
            markers = true;
            warn(ReadAiffMarkers(payload, size, m));
        } else if (Is(id, "INST") && !instrument) {
            instrument = payload, instrumentSize = size;
        } else if (Is(id, "ID3 ") || Is(id, "id3 ")) {
            warn(ReadId3Tag(payload, size, m));
        } else if (Is(id, "COMT")) {
            warn(ReadAiffComments(payload, size, m));
        } else if (!read) {
            NameUnreadChunk(unread, std::string(id, 4));
        }
    }
    if (instrument) warn(ReadAiffInstrument(instrument, instrumentSize, m, rate));
    return warnings;
}

std::vector<std::vector<std::uint8_t>> EncodeRiffChunks(const std::vector<std::uint8_t>& fmt,
                                                        const Metadata& m, std::int64_t dataBytes,
                                                        bool rf64) {
    std::vector<Bytes> out;
    auto chunk = [&](const char* id, const Bytes& payload) {
        Bytes b;
        PutId(b, id);
        Put32(b, static_cast<std::uint32_t>(payload.size()));
        b.insert(b.end(), payload.begin(), payload.end());
        if (payload.size() & 1) b.push_back(0);
        out.push_back(std::move(b));
    };
    out.emplace_back();  // the header, once the size is known
    if (rf64) chunk("ds64", Bytes(28));  // filled in below
    chunk("fmt ", fmt);
    for (const auto& [id, payload] : EncodeMetadata(m)) {
        const bool info = Is(id.data(), "LIST") && payload.size() >= 4 &&
                          Is(reinterpret_cast<const char*>(payload.data()), "INFO");
        if (!info) chunk(std::string(id.data(), 4).c_str(), payload);
    }
    const auto data = static_cast<std::uint64_t>(std::max<std::int64_t>(dataBytes, 0));
    Bytes head;
    PutId(head, "data");
    Put32(head, static_cast<std::uint32_t>(std::min<std::uint64_t>(data, 0xFFFFFFFF)));
    out.push_back(std::move(head));
    std::uint64_t riff = 4 + data + (data & 1);
    for (std::size_t i = 1; i < out.size(); ++i) riff += out[i].size();
    if (rf64) {
        // ds64: the RIFF and "data" sizes and the frames, then an empty table.
        const std::uint32_t blockAlign = fmt.size() >= 14 ? fmt[12] | fmt[13] << 8 : 0;
        const std::uint64_t sizes[] = {riff, data, blockAlign ? data / blockAlign : 0};
        Bytes& ds64 = out[1];
        for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t b = 0; b < 8; ++b)
                ds64[8 + 8 * i + b] = static_cast<std::uint8_t>(sizes[i] >> (8 * b));
        Bytes& head = out.back();
        std::fill(head.begin() + 4, head.end(), 0xFF);
        riff = 0xFFFFFFFF;
    }
    PutId(out[0], rf64 ? "RF64" : "RIFF");
    Put32(out[0], static_cast<std::uint32_t>(std::min<std::uint64_t>(riff, 0xFFFFFFFF)));
    PutId(out[0], "WAVE");
    return out;
}

std::int64_t ScalePosition(std::int64_t p, double inputRate, double outputRate, double speed) {
    if (p <= 0) return 0;
    if (!(inputRate > 0 && outputRate > 0 && speed > 0) || !std::isfinite(inputRate * speed) ||
        !std::isfinite(outputRate))
        return p;
    __extension__ typedef unsigned __int128 U;
    // Each positive finite double is m x 2^e with m odd.
    auto split = [](double v, int& e) {
        double m = std::frexp(v, &e);
        auto bits = static_cast<std::uint64_t>(std::ldexp(m, 53));
        e -= 53;
        const int zeros = __builtin_ctzll(bits);
        e += zeros;
        return bits >> zeros;
    };
    int ei = 0, eo = 0, es = 0;
    const std::uint64_t mi = split(inputRate, ei), mo = split(outputRate, eo),
                        ms = split(speed, es);
    // result = p mo 2^eo / (mi ms 2^(ei + es))
    const int shift = eo - ei - es;
    const int bits = 64 - __builtin_clzll(static_cast<std::uint64_t>(p)) + 64 - __builtin_clzll(mo);
    const int denBits = 64 - __builtin_clzll(mi) + 64 - __builtin_clzll(ms);
    if (bits + std::max(shift, 0) > 125 || denBits - std::min(shift, 0) > 125) {
        const long double v = static_cast<long double>(p) * outputRate /
                              (static_cast<long double>(inputRate) * speed);
        if (!(v < 9.2e18L)) return std::numeric_limits<std::int64_t>::max();
        return static_cast<std::int64_t>(std::floor(v + 0.5L));
    }
    U num = static_cast<U>(p) * mo;
    U den = static_cast<U>(mi) * ms;
    if (shift >= 0)
        num <<= shift;
    else
        den <<= -shift;
    const U q = (2 * num + den) / (2 * den);
    return q > U(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(q);
}

namespace {

// round(p x outputRate / (inputRate x speed) + offset), halves up: whole offsets exactly, a
// fraction through the nearest whole position and the scaled position's remainder.
std::int64_t ScaleAndShift(std::int64_t p, const PositionMap& map, double offset) {
    const std::int64_t q = ScalePosition(p, map.inputRate, map.outputRate, map.speed);
    const double whole = std::floor(offset), fraction = offset - whole;
    std::int64_t shifted = q;
    if (fraction != 0 && p >= 0 && q < std::numeric_limits<std::int64_t>::max()) {
        // The scaled position's distance from q, in (-0.5, 0.5]: long double is exact enough
        // away from the halves, where either neighbour is as near.
        const long double exact = static_cast<long double>(p) * map.outputRate /
                                  (static_cast<long double>(map.inputRate) * map.speed);
        const long double v = exact - static_cast<long double>(q) + fraction;
        shifted = q + static_cast<std::int64_t>(std::floor(v + 0.5L));
    }
    const auto limit = static_cast<double>(std::numeric_limits<std::int64_t>::max());
    if (whole >= limit || static_cast<double>(shifted) + whole >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (whole <= -limit) return std::numeric_limits<std::int64_t>::min();
    return shifted + static_cast<std::int64_t>(whole);
}

}  // namespace

std::int64_t MapFramePosition(std::int64_t p, const PositionMap& map) {
    std::int64_t q = std::max<std::int64_t>(ScaleAndShift(p, map, map.delay), 0);
    if (map.outputFrames < 0) return q;
    q = std::min(q, map.outputFrames);
    // A frame of the input is a frame of the output, not the end after its last.
    if (q == map.outputFrames && map.inputFrames >= 0 && p < map.inputFrames)
        q = std::max<std::int64_t>(q - 1, 0);
    return q;
}

std::uint64_t MapTimeReference(std::uint64_t t, const PositionMap& map) {
    const std::int64_t q = ScaleAndShift(AsPosition(t), map, -map.delay);
    // A time of day: before midnight the previous day's; past the day's end (a time of the
    // day slowed down) the next day's. A count beyond a day in the input stays a count.
    const auto day = static_cast<std::int64_t>(std::llround(86400.0 * map.outputRate));
    if (q < 0) return q > -day ? static_cast<std::uint64_t>(day + q) : 0;
    const double ownRate = map.fileRate > 0 && map.outputRate > 0
                               ? map.inputRate * map.fileRate / map.outputRate
                               : map.inputRate;
    if (day > 0 && q >= day && static_cast<double>(t) < 86400.0 * ownRate) return q % day;
    return static_cast<std::uint64_t>(q);
}

std::string RescaleIxml(const std::string& text, const PositionMap& map) {
    std::string out = text;
    const auto outRate = static_cast<std::uint64_t>(std::llround(map.outputRate));
    // The stamp counts samples at its own rate, which may differ from the file's; a relabelled
    // rate relabels the stamp's as well (its samples stay the file's samples).
    PositionMap stamp = map;
    if (const auto r = Number(text, "TIMESTAMP_SAMPLE_RATE"); r && *r > 0) {
        const double file = map.fileRate > 0 ? map.fileRate : map.inputRate;
        stamp.inputRate = static_cast<double>(*r) * (file > 0 ? map.inputRate / file : 1.0);
    }
    RescalePair(out, "TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI", "TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO",
                stamp);
    RescalePair(out, "BWF_TIME_REFERENCE_HIGH", "BWF_TIME_REFERENCE_LOW", map);
    // Sync points: a position in the file moves with its sound, a time of day as the stamp.
    const std::string open = "<SYNC_POINT>", close = "</SYNC_POINT>";
    for (std::size_t at = out.find(open); at != std::string::npos; at = out.find(open, at)) {
        const std::size_t end = out.find(close, at);
        if (end == std::string::npos) break;
        std::string point = out.substr(at, end - at);
        const auto low = Number(point, "SYNC_POINT_LOW");
        if (low) {
            const std::uint64_t v =
                Number(point, "SYNC_POINT_HIGH").value_or(0) << 32 | (*low & 0xFFFFFFFF);
            const auto [typeAt, typeLength] = Element(point, "SYNC_POINT_TYPE");
            const bool absolute =
                typeAt != std::string::npos && point.compare(typeAt, typeLength, "ABSOLUTE") == 0;
            const std::uint64_t moved =
                absolute ? MapTimeReference(v, stamp)
                         : static_cast<std::uint64_t>(MapFramePosition(AsPosition(v), map));
            WritePair(point, "SYNC_POINT_HIGH", "SYNC_POINT_LOW", moved);
        }
        if (const auto d = Number(point, "SYNC_POINT_EVENT_DURATION"))
            Replace(point, "SYNC_POINT_EVENT_DURATION",
                    static_cast<std::uint64_t>(
                        ScalePosition(AsPosition(*d), map.inputRate, map.outputRate, map.speed)));
        out.replace(at, end - at, point);
        at += point.size();
    }
    if (Number(out, "TIMESTAMP_SAMPLE_RATE")) Replace(out, "TIMESTAMP_SAMPLE_RATE", outRate);
    if (Number(out, "FILE_SAMPLE_RATE")) Replace(out, "FILE_SAMPLE_RATE", outRate);
    if (map.outputBits > 0 && Number(out, "AUDIO_BIT_DEPTH"))
        Replace(out, "AUDIO_BIT_DEPTH", map.outputBits);
    return out;
}

void AppendCodingHistory(BextChunk& bext, const std::string& line) {
    std::string& h = bext.codingHistory;
    if (!h.empty() && h.back() != '\n') h += "\r\n";
    h += line;
}

void ForgetLoudness(BextChunk& bext) {
    if (bext.version < 2) return;
    for (std::size_t i = 0; i < bext.loudness.size(); i += 2) {
        bext.loudness[i] = 0xFF;  // 0x7FFF, little-endian
        bext.loudness[i + 1] = 0x7F;
    }
}

std::string StretchCueSheetText(const std::string& text, double stretch) {
    std::string out;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(from, end - from);
        from = end;
        // INDEX nn mm:ss:ff, PREGAP mm:ss:ff, POSTGAP mm:ss:ff: the time is the last word.
        const std::size_t first = line.find_first_not_of(" \t");
        const bool timed = first != std::string::npos && (line.compare(first, 6, "INDEX ") == 0 ||
                                                          line.compare(first, 7, "PREGAP ") == 0 ||
                                                          line.compare(first, 8, "POSTGAP ") == 0);
        const std::size_t stop = line.find_last_not_of(" \t\r\n") + 1;
        const std::size_t start = line.find_last_of(" \t", stop - 1) + 1;
        unsigned minutes = 0, seconds = 0, frames = 0;
        int used = 0;
        // Digits and colons only (a damaged time stays as it is).
        const bool digits =
            stop > start && std::all_of(line.begin() + start, line.begin() + stop, [](char c) {
                return c == ':' || std::isdigit(static_cast<unsigned char>(c));
            });
        if (timed && digits &&
            std::sscanf(line.c_str() + start, "%u:%u:%u%n", &minutes, &seconds, &frames, &used) ==
                3 &&
            start + static_cast<std::size_t>(used) == stop && seconds < 60 && frames < 75) {
            const double total = (double(minutes) * 60 + seconds) * 75 + frames;
            const auto moved = static_cast<unsigned long long>(std::llround(total * stretch));
            char time[64];
            std::snprintf(time, sizeof time, "%02llu:%02llu:%02llu", moved / 75 / 60,
                          moved / 75 % 60, moved % 75);
            line.replace(start, stop - start, time);
        }
        out += line;
    }
    return out;
}

Metadata RescaleMetadata(const Metadata& in, const PositionMap& map,
                         std::vector<std::string>* lost) {
    Metadata m = in;
    auto frame32 = [&](std::uint32_t p) { return Clamp32(MapFramePosition(p, map)); };
    if (m.bext) m.bext->timeReference = MapTimeReference(m.bext->timeReference, map);
    if (m.ixml) m.ixml = RescaleIxml(*m.ixml, map);
    // A cue sheet kept as text (a CD image's, in a FLAC comment or an APEv2 item) times its
    // tracks: they stretch with the speed.
    const double file = map.fileRate > 0 ? map.fileRate : map.inputRate;
    const double stretch = map.inputRate * map.speed > 0 ? file / (map.inputRate * map.speed) : 1;
    if (stretch != 1 && std::isfinite(stretch))
        for (ExtraTag& t : m.tags)
            if (!t.binary && SameName(t.name, "cuesheet", true))
                t.value = StretchCueSheetText(t.value, stretch);
    // The bext time reference as a tag (FLAC and WavPack files made from a broadcast WAV).
    for (ExtraTag& t : m.tags) {
        if (t.binary || !SameName(t.name, "time_reference", true)) continue;
        if (const auto v = Count(t.value)) t.value = std::to_string(MapTimeReference(*v, map));
    }
    // A position past 32 bits would be clamped onto the last one the chunks hold: such a
    // marker is left out, with its texts, rather than moved.
    auto beyond = [&](std::uint32_t p) { return MapFramePosition(p, map) > 0xFFFFFFFF; };
    std::erase_if(m.cues, [&](const CuePoint& c) {
        if (!beyond(c.position) && !beyond(c.sampleOffset)) return false;
        if (lost)
            lost->push_back("marker " + std::to_string(c.id) + " at frame " +
                            std::to_string(MapFramePosition(c.sampleOffset, map)));
        std::erase_if(m.cueTexts, [&](const CueText& t) { return t.cueId == c.id; });
        return true;
    });
    for (CuePoint& c : m.cues) {
        c.position = frame32(c.position);
        c.sampleOffset = frame32(c.sampleOffset);
    }
    if (m.cueSheet) {
        // Every offset moves as a marker does. A CD's sectors hold at 44100 Hz, where every
        // offset is still a whole sector.
        CueSheet& sheet = *m.cueSheet;
        auto frame = [&](std::uint64_t p) {
            return static_cast<std::uint64_t>(MapFramePosition(AsPosition(p), map));
        };
        bool sectors =
            map.outputRate == 44100 && (map.outputFrames < 0 || map.outputFrames % 588 == 0);
        for (CueSheet::Track& t : sheet.tracks) {
            t.offset = frame(t.offset);
            sectors = sectors && t.offset % 588 == 0;
            for (CueSheet::Index& i : t.indices) {
                i.offset = std::max(frame(i.offset), t.offset);
                sectors = sectors && i.offset % 588 == 0;
            }
        }
        if (!sectors) {
            sheet.isCd = false;
            sheet.leadIn = 0;
        }
    }
    for (CueText& t : m.cueTexts) {
        if (!Is(t.kind.data(), "ltxt")) continue;
        std::int64_t len = ScalePosition(t.length, map.inputRate, map.outputRate, map.speed);
        if (map.outputFrames >= 0) len = std::min(len, map.outputFrames);
        t.length = Clamp32(len);
    }
    // The root note of a sampler follows the pitch: "smpl" in semitones and 1/2^32 of one up,
    // "inst" (AIFF "INST" too) in semitones and cents (-50 to 50).
    const double shift = map.pitch > 0 && std::isfinite(map.pitch) ? 12 * std::log2(map.pitch) : 0;
    if (m.sampler && shift != 0) {
        const double note = std::clamp(
            m.sampler->unityNote + std::ldexp(m.sampler->pitchFraction, -32) + shift, 0.0, 127.0);
        auto whole = static_cast<std::uint32_t>(std::floor(note));
        double fraction = std::round(std::ldexp(note - whole, 32));
        if (fraction >= 0x1p32) fraction = 0, ++whole;
        m.sampler->unityNote = whole;
        m.sampler->pitchFraction = static_cast<std::uint32_t>(fraction);
    }
    if (m.instrument && shift != 0) {
        auto& i = *m.instrument;
        const double note =
            std::clamp(i[0] + static_cast<std::int8_t>(i[1]) / 100.0 + shift, 0.0, 127.0);
        const double whole = std::round(note);
        i[0] = static_cast<std::uint8_t>(whole);
        i[1] = static_cast<std::uint8_t>(
            static_cast<std::int8_t>(std::clamp(std::round((note - whole) * 100), -50.0, 50.0)));
    }
    if (m.sampler) {
        if (map.outputRate > 0)
            m.sampler->samplePeriodNs = Clamp32(std::llround(1e9 / map.outputRate));
        std::erase_if(m.sampler->loops, [&](const SamplerLoop& l) {
            if (!beyond(l.start) && !beyond(l.end)) return false;
            if (lost)
                lost->push_back("sampler loop " + std::to_string(l.id) + " at frame " +
                                std::to_string(MapFramePosition(l.start, map)));
            return true;
        });
        for (SamplerLoop& l : m.sampler->loops) {
            l.start = frame32(l.start);
            // The end is inclusive: the frame after it moves, so that the loop's length scales
            // (the end moved as a position made a loop doubled in rate a frame short).
            l.end = Clamp32(
                std::max<std::int64_t>(MapFramePosition(std::int64_t{l.end} + 1, map) - 1, 0));
            // The end is inclusive: a frame of the output.
            if (map.outputFrames > 0) {
                const auto last = Clamp32(map.outputFrames - 1);
                l.end = std::min(l.end, last);
                l.start = std::min(l.start, l.end);
            }
        }
    }
    return m;
}

std::vector<CuePoint> CueSheetPoints(const CueSheet& sheet) {
    std::vector<CuePoint> points;
    for (const CueSheet::Track& t : sheet.tracks)
        for (const CueSheet::Index& i : t.indices) {
            const auto p =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(i.offset, 0xFFFFFFFF));
            points.push_back({static_cast<std::uint32_t>(points.size() + 1), p, p});
        }
    return points;
}

namespace {
// INFO ISFT names the program that wrote the input: an output that cannot hold it loses
// nothing of the audio's (ffmpeg's files all have one).
constexpr const char* kSoftwareKey = "ISFT";
}  // namespace

std::vector<std::string> MetadataLeftOut(const Metadata& m, int writerId) {
    std::vector<std::string> out;
    if (m.empty()) return out;
    // Outputs but FLAC hold a cue sheet's indexes as cue points, not its codes.
    auto sheetCodes = [&m, &out] {
        if (!m.cueSheet) return;
        const auto& tracks = m.cueSheet->tracks;
        if (!m.cueSheet->catalog.empty()) out.push_back("CUESHEET catalog number");
        if (std::any_of(tracks.begin(), tracks.end(),
                        [](const CueSheet::Track& t) { return !t.isrc.empty(); }))
            out.push_back("CUESHEET ISRCs");
    };
    if (writerId == kFlacWriter || writerId == kWavpackWriter) {
        const TagScheme scheme = writerId == kFlacWriter ? TagScheme::Vorbis : TagScheme::Ape;
        for (const auto& [key, value] : m.info)
            if (!TagNameForInfoKey(scheme, key) && key != kSoftwareKey)
                out.push_back("INFO " + key);
        ContainerTags(m, scheme, &out);
        if (writerId == kFlacWriter) FlacPictures(m, &out);
        // A FLAC's CUESHEET, one track a cue point, holds 254 tracks; the WAVE "cue " chunk
        // the output also keeps holds every point.
        if (writerId == kFlacWriter && !m.cueSheet && m.cues.size() > 254)
            out.push_back("CUESHEET tracks past the 254th cue point");
        if (writerId == kWavpackWriter) sheetCodes();
        return out;
    }
    if (writerId != kRawWriter) sheetCodes();
    // The others hold none of the tags beyond the common ones, nor pictures.
    auto others = [&m, &out] {
        for (const ExtraTag& t : m.tags) {
            // A common tag's further value: its first is kept where the output names the tag.
            const bool further = !t.binary && !InfoKeyForTag(t.scheme, t.name).empty();
            AddOnce(out, (t.binary ? "binary item " : "tag ") + t.name +
                             (further ? " (a further value)" : ""));
        }
        for (const Picture& p : m.pictures) out.push_back(PictureWords(p));
    };
    if (writerId == kWaveWriter) {
        others();
        return out;
    }
    const bool raw = writerId == kRawWriter, aiff = writerId == kAiffWriter;
    if ((raw || aiff) && m.bext) out.push_back("bext");
    if ((raw || aiff) && m.ixml) out.push_back("iXML");
    for (const auto& [key, value] : m.info)
        if ((raw || !TagNameForInfoKey(TagScheme::Aiff, key)) && key != kSoftwareKey)
            out.push_back("INFO " + key);
    others();
    if (raw && !m.cues.empty()) out.push_back("markers");
    if (raw && (m.sampler || m.instrument)) out.push_back("instrument");
    if (aiff) {
        auto has = [&m](const char* kind) {
            return std::any_of(m.cueTexts.begin(), m.cueTexts.end(),
                               [kind](const CueText& t) { return Is(t.kind.data(), kind); });
        };
        if (has("ltxt")) out.push_back("region lengths");
        if (has("note")) out.push_back("marker notes");
        if (m.sampler && m.sampler->loops.size() > 2) out.push_back("loops past the second");
        if (m.cues.size() > kMaxMarkerId) out.push_back("markers past the 32767th");
    }
    return out;
}

std::string CodingHistoryLine(std::uint32_t rate, std::uint32_t validBits, std::uint32_t channels) {
    std::string line = "A=PCM,F=" + std::to_string(rate) + ",W=" + std::to_string(validBits);
    if (channels == 1) line += ",M=mono";
    if (channels == 2) line += ",M=stereo";
    return line + ",T=Tessival\r\n";
}

std::vector<std::pair<std::string, std::string>> DescribeMetadata(const Metadata& m, double rate) {
    std::vector<std::pair<std::string, std::string>> out;
    auto add = [&](std::string key, std::string value) {
        out.emplace_back(std::move(key), Printable(std::move(value)));
    };
    if (m.bext) {
        const BextChunk& b = *m.bext;
        add("bext.description", b.description);
        add("bext.originator", b.originator);
        add("bext.originator-reference", b.originatorReference);
        add("bext.origination-date", b.originationDate);
        add("bext.origination-time", b.originationTime);
        add("bext.time-reference", Clock(AsPosition(b.timeReference), rate));
        add("bext.version", std::to_string(b.version));
        if (std::any_of(b.umid.begin(), b.umid.end(), [](std::uint8_t x) { return x != 0; })) {
            std::string hex;
            char two[3];
            for (std::uint8_t x : b.umid) {
                std::snprintf(two, sizeof two, "%02x", x);
                hex += two;
            }
            add("bext.umid", hex);
        }
        std::size_t line = 0, at = 0;
        while (at < b.codingHistory.size()) {
            std::size_t end = b.codingHistory.find('\n', at);
            if (end == std::string::npos) end = b.codingHistory.size();
            std::string text = b.codingHistory.substr(at, end - at);
            if (!text.empty() && text.back() == '\r') text.pop_back();
            if (!text.empty()) add("bext.coding-history." + std::to_string(++line), text);
            at = end + 1;
        }
    }
    if (m.ixml) add("ixml", std::to_string(m.ixml->size()) + " bytes");
    for (const auto& [key, value] : m.info) add("info." + key, value);
    for (const CuePoint& c : m.cues) {
        std::string value = Clock(c.sampleOffset, rate);
        for (const CueText& t : m.cueTexts)
            if (t.cueId == c.id && Is(t.kind.data(), "labl")) value += " " + t.text;
        add("cue." + std::to_string(c.id), value);
    }
    for (const CueText& t : m.cueTexts) {
        const std::string key = "cue." + std::to_string(t.cueId);
        if (Is(t.kind.data(), "note")) add(key + ".note", t.text);
        if (Is(t.kind.data(), "ltxt"))
            add(key + ".length", Clock(t.length, rate) + (t.text.empty() ? "" : " " + t.text));
    }
    if (m.sampler) {
        add("smpl.unity-note", std::to_string(m.sampler->unityNote));
        for (const SamplerLoop& l : m.sampler->loops)
            add("smpl.loop." + std::to_string(l.id),
                Clock(l.start, rate) + " to " + Clock(l.end, rate));
    }
    for (std::size_t i = 0; i < m.pictures.size(); ++i) {
        const Picture& p = m.pictures[i];
        add("picture." + std::to_string(i + 1),
            PictureKindWords(p) + ", " + p.mime + ", " + std::to_string(p.data.size()) + " bytes" +
                (p.description.empty() ? "" : ", " + p.description));
    }
    if (m.instrument) {
        const auto& i = *m.instrument;
        add("inst", "note " + std::to_string(i[0]) + ", fine tune " +
                        std::to_string(static_cast<std::int8_t>(i[1])) + ", gain " +
                        std::to_string(static_cast<std::int8_t>(i[2])) + ", notes " +
                        std::to_string(i[3]) + "-" + std::to_string(i[4]) + ", velocities " +
                        std::to_string(i[5]) + "-" + std::to_string(i[6]));
    }
    return out;
}

}  // namespace Audio::IO
