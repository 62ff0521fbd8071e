#pragma once

// Small test streams over memory, shared by the stream tests.
//
// They check the caller's side of the read protocol (granularity, lent
// capacity, the reader keeping `position` in step) and report violations
// as test failures. They also use all lent capacity as scratch and fill the
// bytes of every Silence block with garbage, so a stage that relies on
// undefined bytes or on memory it did not lend shows up.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "stream/Stream.h"

namespace TestStreams {

constexpr std::uint8_t kGarbage = 0xCD;  // written into Silence blocks
constexpr std::uint8_t kScratch = 0xEE;  // written into lent capacity past dest

// Half-open byte ranges [first, second).
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

inline bool inside(const Ranges& ranges, std::uint64_t from, std::uint64_t to) {
    for (const auto& r : ranges)
        if (from >= r.first && to <= r.second) return true;
    return false;
}

// Reference bytes with every range of `silent` zeroed.
inline void zeroRanges(std::vector<std::uint8_t>& bytes, const Ranges& silent) {
    for (const auto& r : silent)
        for (std::uint64_t i = r.first; i < r.second && i < bytes.size(); ++i) bytes[i] = 0;
}

inline std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

// How a source tells its length.
enum class LengthMode {
    Known,        // from construction
    OnFirstRead,  // after its first read
    AtEnd,        // once a read reaches the end of the data
    Never,        // stays -1
};

// iOver over a byte vector. A read lying wholly inside a `silent` range, or
// wholly past the data, returns Silence (or Zeros when `zerosKind`);
// otherwise Samples with the data's bytes (zeros inside silent ranges,
// zeros past the end).
class MemoryOver final : public Stream::iOver, public Stream::Source {
public:
    explicit MemoryOver(std::vector<std::uint8_t> bytes, Ranges silentRanges = {},
                        LengthMode mode = LengthMode::Known)
        : data(std::move(bytes)), silent(std::move(silentRanges)), lengthMode(mode) {
        zeroRanges(data, silent);
        if (mode == LengthMode::Known) length = static_cast<std::int64_t>(data.size());
    }
    ~MemoryOver() override {
        if (destroyed) ++*destroyed;
    }

    void seek(std::uint64_t p) override {
        if (p % granularity != 0)
            ADD_FAILURE() << "seek to " << p << " not a multiple of " << granularity;
        seeks.push_back(p);
        cursor = p;
    }

    Stream::Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::uint64_t n = dest.length();
        requests.push_back(n);
        if (n % granularity != 0)
            ADD_FAILURE() << "read of " << n << " not a multiple of " << granularity;
        if (capacity < std::uint64_t{expansion} * n)
            ADD_FAILURE() << "capacity " << capacity << " below " << expansion << " x " << n;
        if (position != static_cast<std::int64_t>(cursor))
            ADD_FAILURE() << "reader's position " << position << " != " << cursor;
        if (capacity > n) std::memset(dest.end, kScratch, capacity - n);

        const std::uint64_t from = cursor, to = cursor + n;
        cursor = to;
        if (lengthMode == LengthMode::OnFirstRead ||
            (lengthMode == LengthMode::AtEnd && to >= data.size()))
            length = static_cast<std::int64_t>(data.size());
        if (n == 0) return Stream::Block{dest.begin, dest.end, Stream::Silence};

        if (from >= data.size() || inside(silent, from, to)) {
            if (zerosKind) {
                std::memset(dest.begin, 0, n);
                return Stream::Block{dest.begin, dest.end, Stream::Zeros};
            }
            std::memset(dest.begin, kGarbage, n);
            return Stream::Block{dest.begin, dest.end, Stream::Silence};
        }
        const std::uint64_t have = std::min<std::uint64_t>(n, data.size() - from);
        std::memcpy(dest.begin, data.data() + from, have);
        std::memset(dest.begin + have, 0, n - have);
        return Stream::Block{dest.begin, dest.end, Stream::Samples};
    }

    std::vector<std::uint8_t> data;  // reference content (silent ranges zeroed)
    Ranges silent;
    LengthMode lengthMode;
    bool zerosKind = false;
    std::uint64_t cursor = 0;
    std::vector<std::uint64_t> requests;
    std::vector<std::uint64_t> seeks;
    int* destroyed = nullptr;
};

// iVOver over one byte vector per channel (all the same size). Per channel,
// a read lying wholly inside one of that channel's silent ranges, or wholly
// past the data, is silent: its bit is set (channels below 32) and garbage
// is written, or zeros with the zeroed bit when `zeroedKind`. Channels from
// 32 on are always delivered as bytes.
class MemoryVOver final : public Stream::iVOver, public Stream::Source {
public:
    MemoryVOver(std::vector<std::vector<std::uint8_t>> perChannel, std::vector<Ranges> silentRanges,
                LengthMode mode = LengthMode::Known)
        : data(std::move(perChannel)), silent(std::move(silentRanges)), lengthMode(mode) {
        channels = static_cast<std::uint32_t>(data.size());
        silent.resize(data.size());
        for (std::size_t i = 0; i < data.size(); ++i) zeroRanges(data[i], silent[i]);
        if (mode == LengthMode::Known) length = static_cast<std::int64_t>(size());
    }

    std::uint64_t size() const { return data.empty() ? 0 : data[0].size(); }

    void seek(std::uint64_t p) override {
        if (p % granularity != 0)
            ADD_FAILURE() << "seek to " << p << " not a multiple of " << granularity;
        seeks.push_back(p);
        cursor = p;
    }

    Stream::VBlock read(Stream::VSlice dest, std::uint32_t capacity) override {
        const std::uint64_t n = dest.length();
        requests.push_back(n);
        if (n % granularity != 0)
            ADD_FAILURE() << "read of " << n << " not a multiple of " << granularity;
        if (capacity < std::uint64_t{expansion} * n)
            ADD_FAILURE() << "capacity " << capacity << " below " << expansion << " x " << n;
        if (position != static_cast<std::int64_t>(cursor))
            ADD_FAILURE() << "reader's position " << position << " != " << cursor;
        if (!dest.channels || dest.channels->count() != channels) {
            ADD_FAILURE() << "channel set does not match";
            return {};
        }
        Stream::Channels& set = *dest.channels;
        for (std::uint32_t i = 0; i < channels; ++i)
            if (capacity > n) std::memset(set[i] + dest.end, kScratch, capacity - n);

        const std::uint64_t from = cursor, to = cursor + n;
        cursor = to;
        if (lengthMode == LengthMode::OnFirstRead ||
            (lengthMode == LengthMode::AtEnd && to >= size()))
            length = static_cast<std::int64_t>(size());

        Stream::VBlock r{dest.channels, dest.begin, dest.end, {}, {}};
        bool all = true;
        for (std::uint32_t i = 0; i < channels; ++i) {
            std::uint8_t* d = set[i] + dest.begin;
            const bool quiet = from >= size() || inside(silent[i], from, to);
            if (quiet) {
                r.silentMask.set(i);
                if (zeroedKind) {
                    r.zeroedMask.set(i);
                    std::memset(d, 0, n);
                } else {
                    std::memset(d, kGarbage, n);
                }
                continue;
            }
            all = false;
            const std::uint64_t have =
                from < size() ? std::min<std::uint64_t>(n, size() - from) : 0;
            if (have) std::memcpy(d, data[i].data() + from, have);
            std::memset(d + have, 0, n - have);
        }
        if (all && n) {
            r.silentMask = Stream::kAllSilent;
            if (zeroedKind) r.zeroedMask = Stream::kAllSilent;
        }
        return r;
    }

    std::vector<std::vector<std::uint8_t>> data;
    std::vector<Ranges> silent;
    LengthMode lengthMode;
    bool zeroedKind = false;
    std::uint64_t cursor = 0;
    std::vector<std::uint64_t> requests;
    std::vector<std::uint64_t> seeks;
};

// iUnder that hands out fixed-size blocks of Samples from its own buffer,
// whatever is asked for, with a configurable length (-1 stays unknown
// unless `learnAfterPeeks` is set). A reader that peeks more than
// `maxPeeks` times fails the test and is given a length it has reached, so
// a runaway loop ends.
class BlockUnder final : public Stream::iUnder, public Stream::Source {
public:
    BlockUnder(std::uint32_t blockBytes, std::int64_t streamLength) : buffer(blockBytes, 0x5A) {
        length = streamLength;
    }

    void seek(std::uint64_t p) override { cursor = p; }
    Stream::Block peek(std::uint32_t minimum) override {
        ++peeks;
        lastMinimum = minimum;
        if (learnAfterPeeks > 0 && peeks >= learnAfterPeeks) length = learnedLength;
        if (peeks > maxPeeks) {
            ADD_FAILURE() << "runaway reader: " << peeks << " peeks";
            length = position;
        }
        if (position != static_cast<std::int64_t>(consumed))
            ADD_FAILURE() << "reader's position " << position << " != " << consumed;
        offered = dryAfterBytes >= 0 && static_cast<std::int64_t>(consumed) >= dryAfterBytes
                      ? 0
                      : static_cast<std::uint32_t>(buffer.size());
        return Stream::Block{buffer.data(), buffer.data() + offered,
                             offered ? Stream::Samples : Stream::Silence};
    }
    void consume(std::uint32_t n) override {
        if (n > offered) ADD_FAILURE() << "consume " << n << " past peek of " << offered;
        consumed += n;
        offered -= std::min(n, offered);
    }

    std::vector<std::uint8_t> buffer;
    std::uint64_t cursor = 0;
    std::uint64_t consumed = 0;
    std::uint32_t offered = 0;
    std::uint32_t lastMinimum = 0;
    int peeks = 0;
    int learnAfterPeeks = 0;
    std::int64_t learnedLength = -1;
    std::int64_t dryAfterBytes = -1;  // from here on, peeks deliver nothing
    int maxPeeks = 100000;
};

}  // namespace TestStreams
