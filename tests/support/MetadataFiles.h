#pragma once

// WAV files with known metadata, written byte by byte: "bext", "iXML" and
// "LIST"/"INFO" before the data; "cue ", "LIST"/"adtl", "smpl" and "inst"
// after it (where recorders and editors often put them).

#include <string>
#include <vector>

#include "support/IOTestUtil.h"

namespace MetaTest {

using IOTest::Builder;
using IOTest::Bytes;
using IOTest::Chunk;

// The positions every file carries, in input frames.
constexpr std::uint64_t kTimeReference = (std::uint64_t{5} << 32) + 1000;  // above 2^32
constexpr std::uint32_t kStampHi = 256, kStampLo = 12345;                  // 2^40 + 12345
constexpr std::uint32_t kCueHalf = 22050, kCueEarly = 1000, kCueLate = 4000000;
constexpr std::uint32_t kLtxtLength = 441, kLoopStart = 1000, kLoopEnd = 44099;

inline Bytes Text(const std::string& s, std::size_t width) {
    Bytes b(s.begin(), s.end());
    b.resize(width, 0);
    return b;
}

inline Bytes BextPayload(std::uint64_t timeReference, const std::string& history) {
    Builder b;
    b.raw(Text("Scene 12 take 3", 256)).raw(Text("Recorder", 32)).raw(Text("REF-42", 32));
    b.raw(Text("2026-03-04", 10)).raw(Text("10:00:00", 8)).u64(timeReference).u16(2);
    Bytes umid(64);
    for (std::size_t i = 0; i < umid.size(); ++i) umid[i] = static_cast<std::uint8_t>(i + 1);
    b.raw(umid).u16(0xFF9C).u16(500).u16(0xFFF6).u16(0).u16(0).raw(Bytes(180, 0));
    b.raw(Bytes(history.begin(), history.end()));
    return b.b;
}

inline std::string Ixml(std::uint32_t rate) {
    const std::string r = std::to_string(rate);
    return "<?xml version=\"1.0\"?>\n<BWFXML><PROJECT>Film</PROJECT><SPEED>"
           "<FILE_SAMPLE_RATE>" +
           r + "</FILE_SAMPLE_RATE><TIMESTAMP_SAMPLE_RATE>" + r +
           "</TIMESTAMP_SAMPLE_RATE><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>" +
           std::to_string(kStampHi) +
           "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>"
           "<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>" +
           std::to_string(kStampLo) +
           "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO></SPEED><NOTE>a &amp; b</NOTE></BWFXML>\n";
}

inline Bytes InfoList() {
    Builder b;
    b.id("INFO")
        .raw(Chunk("INAM", {'T', 'i', 't', 'l', 'e', 0}))
        .raw(Chunk("IART", {'A', 'r', 't', 0}))
        .raw(Chunk("ICMT", {'c', 'o', 'm', 'm', 'e', 'n', 't', 0}))
        .raw(Chunk("ISFT", {'x', 0}));  // any other INFO id is kept as well
    return b.b;
}

inline Bytes CuePayload() {
    Builder b;
    b.u32(3);
    for (auto [id, at] : {std::pair{1u, kCueHalf}, {2u, kCueEarly}, {3u, kCueLate}})
        b.u32(id).u32(at).id("data").u32(0).u32(0).u32(at);
    return b.b;
}

inline Bytes AdtlList() {
    Builder b;
    b.id("adtl");
    b.raw(Chunk("labl", Builder{}.u32(1).raw({'h', 'a', 'l', 'f', 0}).b));
    b.raw(Chunk("note", Builder{}.u32(2).raw({'e', 'a', 'r', 'l', 'y', 0}).b));
    b.raw(Chunk(
        "ltxt",
        Builder{}.u32(1).u32(kLtxtLength).id("rgn ").u16(0).u16(0).u16(0).u16(0).raw({'r', 0}).b));
    return b.b;
}

inline Bytes SmplPayload(std::uint32_t rate) {
    Builder b;
    b.u32(0).u32(0).u32(1000000000u / rate).u32(60).u32(0).u32(0).u32(0).u32(1).u32(2);
    b.u32(7).u32(0).u32(kLoopStart).u32(kLoopEnd).u32(0).u32(0);
    b.u8(0xAB).u8(0xCD);
    return b.b;
}

inline Bytes InstPayload() {
    return {60, 0xFE, 3, 10, 100, 1, 127};
}

// Mono int16 silence of `frames` frames with every chunk above; `extra` goes
// after the data chunk (faulty chunks for the robustness tests).
inline Bytes RichWav(std::uint32_t rate, std::uint32_t frames, const Bytes& extra = {}) {
    const std::string ixml = Ixml(rate);
    return IOTest::Group("RIFF", "WAVE",
                         {Chunk("fmt ", IOTest::FmtPayload(1, 1, rate, 2, 16)),
                          Chunk("bext", BextPayload(kTimeReference, "A=ANALOGUE,M=mono\r\n")),
                          Chunk("iXML", Bytes(ixml.begin(), ixml.end())), Chunk("LIST", InfoList()),
                          Chunk("data", Bytes(std::size_t{frames} * 2, 0)),
                          Chunk("cue ", CuePayload()), Chunk("LIST", AdtlList()),
                          Chunk("smpl", SmplPayload(rate)), Chunk("inst", InstPayload()), extra});
}

}  // namespace MetaTest
