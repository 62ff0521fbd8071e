#pragma once

// What a WAV file says about its audio beyond the samples: broadcast
// extension ("bext"), iXML, LIST/INFO tags, cue points with their
// LIST/adtl labels, notes and labelled texts, sampler ("smpl") and
// instrument ("inst") chunks. Chunks not listed here are not kept: they may
// describe the old audio.
//
// Positions are in sample frames at the rate of the file they belong to.
// Readers take a chunk's payload bytes and never read past them; a chunk
// that does not parse is dropped whole with a warning.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Audio::IO {

struct BextChunk {
    std::string description;          // 256 bytes in the file
    std::string originator;           // 32
    std::string originatorReference;  // 32
    std::string originationDate;      // 10, "yyyy-mm-dd"
    std::string originationTime;      // 8, "hh:mm:ss"
    std::uint64_t timeReference = 0;  // first sample's count of samples since midnight
    std::uint16_t version = 0;
    std::array<std::uint8_t, 64> umid{};
    std::array<std::uint8_t, 10> loudness{};  // version 2: five 16-bit values, as stored
    std::string codingHistory;                // CR LF separated lines
};

struct CuePoint {
    std::uint32_t id = 0;
    std::uint32_t position = 0;      // dwPosition: play order position, in frames
    std::uint32_t sampleOffset = 0;  // frame of the point in "data"
};

// A LIST/adtl "labl" or "note" (kind says which), or an "ltxt" with length.
struct CueText {
    std::array<char, 4> kind{};  // "labl", "note" or "ltxt"
    std::uint32_t cueId = 0;
    std::uint32_t length = 0;                 // ltxt: frames covered
    std::array<std::uint8_t, 12> ltxtRest{};  // ltxt: purpose, country, language, ..., code page
    std::string text;
};

struct SamplerLoop {
    std::uint32_t id = 0, type = 0, start = 0, end = 0, fraction = 0, playCount = 0;
};

struct SamplerChunk {
    std::uint32_t manufacturer = 0, product = 0, samplePeriodNs = 0, unityNote = 0,
                  pitchFraction = 0, smpteFormat = 0, smpteOffset = 0;
    std::vector<SamplerLoop> loops;  // start and end in frames, end inclusive
    std::vector<std::uint8_t> samplerData;
};

// The common text tags across containers. The model keeps them under the
// WAV INFO identifiers ("INAM" title, "IART" artist, "IPRD" album, "ICMT"
// comment, "ICRD" date, "IGNR" genre, "ITRK" track, "ICOP" copyright);
// each other container names them its own way, and a container without
// a name for one does not store it.
enum class TagScheme { Vorbis, Aiff, Ape };

// A tag beyond the common ones, or a further value of a common one, named
// as its container names it: a Vorbis comment (scheme Vorbis) or an APEv2
// item (scheme Ape). Text is UTF-8; an APEv2 binary item holds its bytes.
struct ExtraTag {
    TagScheme scheme = TagScheme::Vorbis;
    std::string name;
    std::string value;
    bool binary = false;
};

// A picture as a FLAC PICTURE block describes it. From an APEv2
// "Cover Art (...)" item: the type its name gives, the item's file name as
// description, the MIME type told by the first bytes, sizes 0 (unknown).
struct Picture {
    std::uint32_t type = 3;               // ID3v2 APIC picture type: 3 front cover
    std::string mime;                     // "image/png"; "-->" when data is a URL
    std::string description;              // UTF-8
    std::uint32_t width = 0, height = 0;  // pixels
    std::uint32_t depth = 0;              // bits per pixel
    std::uint32_t colors = 0;             // palette entries, 0 without a palette
    std::vector<std::uint8_t> data;
};

// A FLAC CUESHEET (a CD image's track list): positions in frames from the start of the audio.
struct CueSheet {
    struct Index {
        std::uint64_t offset = 0;  // frames from the start of the audio (the block's offsets
                                   // are from the track's)
        std::uint8_t number = 0;   // 0 a pre-gap, 1 the track's start, then further indexes
    };
    struct Track {
        std::uint64_t offset = 0;  // frames
        std::uint8_t number = 0;
        std::string isrc;  // 12 characters or empty
        bool audio = true;
        bool preEmphasis = false;
        std::vector<Index> indices;
    };
    std::string catalog;        // media catalog number, printable ASCII, at most 128
    std::uint64_t leadIn = 0;   // frames before the first track of a CD
    bool isCd = false;          // offsets are CD sectors (588 frames at 44100 Hz)
    std::vector<Track> tracks;  // the lead-out is the output's end, not held here
};

struct Metadata {
    std::optional<BextChunk> bext;
    std::optional<std::string> ixml;
    std::vector<std::pair<std::string, std::string>> info;  // "INAM" -> "title", in file order
    std::vector<CuePoint> cues;
    std::vector<CueText> cueTexts;
    std::optional<SamplerChunk> sampler;
    std::optional<std::array<std::uint8_t, 7>> instrument;  // "inst" as stored
    std::vector<ExtraTag> tags;                             // in file order
    std::vector<Picture> pictures;                          // in file order
    // A FLAC input's CUESHEET; `cues` also holds its indexes, for outputs without a cue sheet,
    // unless the input had cue points of its own (`cuesFromSheet` false).
    std::optional<CueSheet> cueSheet;
    bool cuesFromSheet = false;
    // Bytes held in `tags` and `pictures` (names, values, picture fields), at most
    // kMaxCarriedMetadata (above it once something was dropped): KeepTag and KeepPicture
    // count them.
    std::int64_t carriedBytes = 0;

    bool empty() const {
        return !bext && !ixml && info.empty() && cues.empty() && cueTexts.empty() && !sampler &&
               !instrument && tags.empty() && pictures.empty() && !cueSheet;
    }
};

// Largest total of tags and pictures kept of one input, bytes: what comes after is dropped
// (a picture of several MB fits; a FLAC block holds less than 16 MiB anyway).
constexpr std::int64_t kMaxCarriedMetadata = std::int64_t{16} << 20;

// Keeps a Vorbis comment or APEv2 item (`scheme` Vorbis or Ape) of an input: a common tag's
// first value goes to `m.info`, every other value to `m.tags`. An APEv2 text holding several
// values (NUL separated) is split; an APEv2 binary "Cover Art (...)" item becomes a picture.
// Returns a warning naming it when it is the first dropped for kMaxCarriedMetadata (nothing
// is kept after it), else empty.
std::string KeepTag(Metadata& m, TagScheme scheme, const std::string& name, std::string value,
                    bool binary = false);
// Keeps a picture; the cap as for KeepTag.
std::string KeepPicture(Metadata& m, Picture p);

// One tag as an output of a Vorbis or APEv2 scheme writes it.
struct TagOut {
    std::string name;
    std::string value;  // UTF-8 text, or an APEv2 binary item's bytes
    bool binary = false;
    bool operator==(const TagOut&) const = default;
};

// The tags an output of `scheme` (Vorbis or Ape) writes for `m`, in writing order: the common
// tags under its own names, then the others by name (a few known names translated, e.g.
// CATALOGNUMBER <-> Catalog; other Vorbis names from APEv2 in upper case, APEv2 names from
// Vorbis as they are). APEv2 holds each name once: the values of one name are joined (NUL
// separated) and pictures become "Cover Art (...)" binary items (file name, NUL, bytes).
// What it cannot hold (a name it does not allow, a binary item in a Vorbis comment, a second
// picture of one type in APEv2, more than a FLAC block holds) is named in `leftOut`.
std::vector<TagOut> ContainerTags(const Metadata& m, TagScheme scheme,
                                  std::vector<std::string>* leftOut = nullptr);

// The pictures a FLAC output writes (one block each, under 2^24 bytes); the others are named
// in `leftOut`.
std::vector<const Picture*> FlacPictures(const Metadata& m,
                                         std::vector<std::string>* leftOut = nullptr);

// A cue sheet's indexes as cue points, in order, numbered from 1 (positions past 32 bits
// clamped).
std::vector<CuePoint> CueSheetPoints(const CueSheet& sheet);

// Removes the loudness tags measured on the input (REPLAYGAIN_*, R128_*, MP3GAIN_*, names in
// any case) from `m.tags`; returns their names, each once.
std::vector<std::string> DropLoudnessTags(Metadata& m);

// The INFO identifier of a container's tag name (Vorbis and APEv2 names in
// any case), empty when the tag is not a common one.
std::string InfoKeyForTag(TagScheme scheme, const std::string& name);

// The container's name for an INFO identifier; null when it has none.
const char* TagNameForInfoKey(TagScheme scheme, const std::string& infoKey);

// Adds a container's tag to `m.info` when it maps (a repeated key keeps
// the first value, but AIFF annotations and comments, which add a line each); returns
// whether it did.
bool AddTag(Metadata& m, TagScheme scheme, const std::string& name, const std::string& value);

// For WAVE and AIFF outputs (writer `writerId`), which keep only the common tags: an extra
// tag under another name in use for a common one (a FLAC's DESCRIPTION, which ffmpeg writes
// for a comment; a WavPack's "Date", which ffmpeg writes for the year) becomes that common
// tag where `m` has none and the output holds it. For WAVE outputs without a "bext", the
// tags ffmpeg writes for one (time_reference, and the texts that fit their fields) become it;
// with one, a time_reference tag of the same value is dropped as its copy. FLAC and WavPack
// outputs of a "bext" gain its time_reference tag where `m` has none.
void AdoptTagAliases(Metadata& m, int writerId);

// `m`'s tags that `scheme` can store, as {container name, value}, in order.
std::vector<std::pair<std::string, std::string>> TagsFor(const Metadata& m, TagScheme scheme);

// The values of an APEv2 text item, which holds several separated by NUL bytes.
std::vector<std::string> ApeValues(const std::string& value);

// Appends `item` to `list` unless it is empty or already there (warnings and names said once).
void AddOnce(std::vector<std::string>& list, std::string item);

// Adds the 4-character `id` of a chunk a reader passed over to `unread` (once), unless it is a
// filler or one of the format's own ("JUNK", "fact", "FVER", ...) or no identifier at all
// (a damaged file's bytes, or bytes read off the chunk grid).
void NameUnreadChunk(std::vector<std::string>& unread, const std::string& id);

// `text` when it is valid UTF-8, else read as Latin-1 (as older WAV and
// AIFF text often is) and encoded as UTF-8.
std::string TagTextAsUtf8(const std::string& text);

// AIFF "MARK": markers become cue points (position and sample offset
// alike) with their names as "labl" texts. Reading returns the warning of a
// malformed chunk, which leaves `m` untouched; encoding gives the payload
// (empty without cue points): marker ids are unique and 1-32767, so a cue
// id outside that range or held by an earlier cue gets the smallest free one
// (loops name the markers by these ids); markers past the 32767th are left
// out, and names beyond 255 bytes are cut to fit.
std::string ReadAiffMarkers(const std::uint8_t* payload, std::size_t size, Metadata& m);

// AIFF "COMT": its comments' texts, one a line, become the comment tag (ICMT) unless one is
// there already (an "ANNO" before it); sox's stamp ("Processed by SoX") is not a comment.
// Returns the warning of a malformed chunk, which leaves `m` untouched.
std::string ReadAiffComments(const std::uint8_t* payload, std::size_t size, Metadata& m);
std::vector<std::uint8_t> EncodeAiffMarkers(const Metadata& m);

// AIFF chunks another container keeps (a FLAC "aiff" APPLICATION block, a WavPack AIFF
// wrapper): a run of whole big-endian chunks, a "FORM" header of 12 bytes first maybe, "SSND"
// its header with offset and block size alone (the samples are stored elsewhere). The text
// chunks, "ID3 ", "MARK" and "INST" (its loops at `rate`, once the markers are known) are read
// as an AIFF file's are; the names of other chunks go to `unread` (fillers and the format's
// own not). Returns the warnings of dropped chunks.
std::vector<std::string> ReadAiffChunks(const std::uint8_t* p, std::size_t size, Metadata& m,
                                        double rate, std::vector<std::string>& unread);

// AIFF "INST": base note, detune, gain, note and velocity ranges map to
// "inst"; the sustain and release loops, whose ends are markers of `m`,
// become "smpl" loops 0 and 1 (the end marker is the frame after the loop;
// forward-backward reads as alternating), with the sampler's period at
// `rate`. Call it once the markers are read. Returns the warning of a
// malformed chunk, which leaves `m` untouched.
std::string ReadAiffInstrument(const std::uint8_t* payload, std::size_t size, Metadata& m,
                               double rate);
// The "INST" payload for `m`'s "inst" (or the unity note of its "smpl") and
// its first two loops; empty when `m` has neither. A loop end that no cue
// point marks gets a new cue point in `m` to be named by, so encode the
// markers after it.
std::vector<std::uint8_t> EncodeAiffInstrument(Metadata& m);

// What of `m` an output of the writer `writerId` (WriterID) cannot hold, by kind ("bext",
// "iXML", "INFO IENG", "tag ISRC", "picture (front cover)", "region lengths", ...): WAVE holds
// all its own chunks; FLAC and WavPack all but the INFO tags they have no name for and what
// ContainerTags and FlacPictures leave out; AIFF markers with their names, the instrument and
// two loops, and four tags; raw nothing. Only FLAC and WavPack hold `tags` and `pictures`.
// Empty when nothing is left out.
std::vector<std::string> MetadataLeftOut(const Metadata& m, int writerId);

// Largest payload kept of any one metadata chunk; a larger one is dropped.
constexpr std::int64_t kMaxMetadataChunk = std::int64_t{1} << 20;

// True for the identifiers the readers below understand ("bext", "iXML",
// "LIST", "cue ", "smpl", "inst", "ID3 ", "id3 ").
bool IsMetadataChunk(const char id[4]);

// Reads one chunk's payload of `size` bytes into `m`. Returns the warning
// of a malformed chunk ("metadata: bext chunk malformed, dropped"), empty
// when it was read or is not a metadata chunk. `m` keeps nothing of a
// malformed chunk. A `bigEndian` payload (from a RIFX file) has its numeric
// fields read big-endian. An INFO key already in `m` keeps its first value.
std::string ReadMetadataChunk(const char id[4], const std::uint8_t* payload, std::size_t size,
                              Metadata& m, bool bigEndian = false);

// Reads the metadata chunks of a run of whole RIFF chunks as a foreign
// store keeps them (a FLAC "riff" APPLICATION block, a WavPack wrapper):
// a "RIFF", "RF64" or "RIFX" header of 12 bytes may come first (RIFX makes
// this and later runs big-endian: pass the same `bigEndian` along), and a
// "data" chunk is its 8-byte header alone. A chunk that runs past the end
// ends the run. Returns the warnings of dropped chunks; the names of other chunks go to
// `unread` (fillers and the format's own excepted), as a WAV file's do.
std::vector<std::string> ReadRiffChunks(const std::uint8_t* p, std::size_t size, Metadata& m,
                                        bool& bigEndian, std::vector<std::string>& unread);

// The chunks a foreign store keeps for a WAV of the "fmt " payload `fmt`,
// each whole (id, size, payload, pad byte): the "RIFF" header, "fmt ",
// `m`'s chunks but its LIST/INFO (tags go to the store's own tags), and the
// "data" header stating `dataBytes` (sizes clamped to 32 bits). With `rf64`,
// an "RF64" header and a "ds64" chunk after it state the sizes in 64 bits
// (EBU Tech 3306), whatever they are: the layout does not depend on them.
std::vector<std::vector<std::uint8_t>> EncodeRiffChunks(const std::vector<std::uint8_t>& fmt,
                                                        const Metadata& m, std::int64_t dataBytes,
                                                        bool rf64 = false);

// The text frames of an ID3v2 tag (a WAV "ID3 "/"id3 " chunk) that name
// common tags: TIT2, TPE1, TALB, COMM, TDRC/TYER, TCON, TRCK (and their
// v2.2 names). Returns the warning of a malformed tag, or one naming the
// frames not read (pictures, other texts, compressed frames); keys already in `m`
// keep their values.
std::string ReadId3Tag(const std::uint8_t* p, std::size_t size, Metadata& m);

// The payloads to write, in writing order: {id, bytes}. "LIST" payloads
// start with their list type.
std::vector<std::pair<std::array<char, 4>, std::vector<std::uint8_t>>> EncodeMetadata(
    const Metadata& m);

// How positions move from an input to its output.
struct PositionMap {
    double inputRate = 0;   // Hz, whole in WAV headers
    double outputRate = 0;  // Hz
    double speed = 1.0;     // input played at inputRate x speed
    // Where the input's first moment lies in the output, in frames (the delay an output's name
    // gives): the filters' pre-ring when it is kept, and what a sync offset leaves.
    double delay = 0;
    // Output length in frames, -1 unknown: positions are clamped to it.
    std::int64_t outputFrames = -1;
    // Hz, the input file's own rate when inputRate is a relabelled one (a speed change with no
    // new rate); 0: inputRate. Stamps kept at a rate of their own follow the file's samples.
    double fileRate = 0;
    // Factor on the pitch of what is played (the speed, relabelled or not): a sampler's root
    // note moves by 12 log2(pitch) semitones.
    double pitch = 1.0;
    // Input length in frames, -1 unknown: a position inside it stays inside the output.
    std::int64_t inputFrames = -1;
    // Bits per sample of the output, 0 unknown (iXML AUDIO_BIT_DEPTH).
    unsigned outputBits = 0;
};

// round(p x outputRate / (inputRate x speed)), rounded exactly on the
// binary values of the three doubles (halves up); 0 for p <= 0.
std::int64_t ScalePosition(std::int64_t p, double inputRate, double outputRate, double speed);

// A position inside the file: the same sound stays under it, so it moves
// by the delay; clamped to [0, outputFrames], and below outputFrames when it
// was inside the input.
std::int64_t MapFramePosition(std::int64_t p, const PositionMap& map);

// A time of day in samples (bext TimeReference): scaled as every position
// is (through the speed as well: the output's timeline is the input's run
// at that speed), and the output's first frame comes `delay` before
// the input's, so its stamp is that much earlier; kept within the day
// (before midnight the previous day's time, past its end the next day's).
std::uint64_t MapTimeReference(std::uint64_t t, const PositionMap& map);

// Rewrites `<NAME>value</NAME>` elements of an iXML text: the
// TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI/_LO pair (counted at TIMESTAMP_SAMPLE_RATE, when given)
// and BWF_TIME_REFERENCE_HIGH/_LOW with the mapped time reference; in every SYNC_POINT, the
// SYNC_POINT_HIGH/_LOW pair as a position in the file (RELATIVE) or a time of day (ABSOLUTE)
// and SYNC_POINT_EVENT_DURATION as a length; TIMESTAMP_SAMPLE_RATE and FILE_SAMPLE_RATE with
// the output rate. Everything else stays byte for byte.
std::string RescaleIxml(const std::string& text, const PositionMap& map);

// A cue sheet's text with the times of its INDEX, PREGAP and POSTGAP lines (mm:ss:ff, 75
// frames a second) multiplied by `stretch`, rounded to the nearest frame; the rest as it is.
std::string StretchCueSheetText(const std::string& text, double stretch);

// The metadata of an output: every position and rate moved by `map`. Markers (with their
// texts) and sampler loops moved past the 32-bit frame positions they are stored in are left
// out, each named in `lost` ("marker 2 at frame 4399980000").
Metadata RescaleMetadata(const Metadata& in, const PositionMap& map,
                         std::vector<std::string>* lost = nullptr);

// Marks the five loudness values of a version 2 "bext" as not computed
// (0x7FFF each): an output made at another gain no longer has them.
void ForgetLoudness(BextChunk& bext);

// Appends a line to the coding history, ending the last one first.
void AppendCodingHistory(BextChunk& bext, const std::string& line);

// "A=PCM,F=48000,W=24,M=stereo,T=Tessival\r\n" (M is left out beyond two channels).
std::string CodingHistoryLine(std::uint32_t rate, std::uint32_t validBits, std::uint32_t channels);

// One "key: value" pair per field, for a report; time positions as
// "172800000 (01:00:00.000)" at `rate`.
std::vector<std::pair<std::string, std::string>> DescribeMetadata(const Metadata& m, double rate);

}  // namespace Audio::IO
