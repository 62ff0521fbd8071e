#pragma once

// WAVE files written the plain way for tests: a 44-byte header (46 for
// float) and the samples.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace TestSupport {

inline void put16(std::ofstream& f, std::uint16_t v) {
    f.put(char(v & 0xFF)), f.put(char(v >> 8));
}
inline void put32(std::ofstream& f, std::uint32_t v) {
    put16(f, v & 0xFFFF), put16(f, v >> 16);
}

// 16-bit PCM of `frames` frames; channel c of frame i is gen(c, i).
template <class Gen>
void writeWav16(const std::filesystem::path& p, std::uint32_t rate, std::uint16_t channels,
                std::uint32_t frames, Gen gen) {
    std::ofstream f(p, std::ios::binary);
    const std::uint32_t data = frames * channels * 2;
    f.write("RIFF", 4), put32(f, 36 + data), f.write("WAVEfmt ", 8), put32(f, 16);
    put16(f, 1), put16(f, channels), put32(f, rate), put32(f, rate * channels * 2);
    put16(f, channels * 2), put16(f, 16), f.write("data", 4), put32(f, data);
    std::vector<char> buf(data);
    for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint16_t c = 0; c < channels; ++c) {
            const std::int16_t v = gen(c, i);
            std::memcpy(&buf[(std::size_t{i} * channels + c) * 2], &v, 2);
        }
    f.write(buf.data(), data);
}

// Mono 64-bit IEEE float (format tag 3); frame i is gen(i).
template <class Gen>
void writeWavF64(const std::filesystem::path& p, std::uint32_t rate, std::uint32_t frames, Gen gen) {
    std::ofstream f(p, std::ios::binary);
    const std::uint32_t data = frames * 8;
    f.write("RIFF", 4), put32(f, 38 + data), f.write("WAVEfmt ", 8), put32(f, 18);
    put16(f, 3), put16(f, 1), put32(f, rate), put32(f, rate * 8);
    put16(f, 8), put16(f, 64), put16(f, 0), f.write("data", 4), put32(f, data);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double v = gen(i);
        f.write(reinterpret_cast<const char*>(&v), 8);
    }
}

}  // namespace TestSupport
