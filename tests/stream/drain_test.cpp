// Draining: progress reports, stopping, exact lengths and streams whose
// length is unknown.

#include "stream/Drain.h"

#include <gtest/gtest.h>

#include <vector>

#include "TestStreams.h"
#include "stream/Adapt.h"

using namespace Stream;
using TestStreams::BlockUnder;
using TestStreams::LengthMode;
using TestStreams::MemoryOver;

namespace {

struct Report {
    std::uint32_t done, total;
    bool first;
    bool operator==(const Report& o) const {
        return done == o.done && total == o.total && first == o.first;
    }
};

std::ostream& operator<<(std::ostream& os, const Report& r) {
    return os << "{" << r.done << "/" << r.total << (r.first ? " first}" : "}");
}

class Recorder final : public iDrainProgress {
public:
    bool progress(std::uint32_t done, std::uint32_t total, bool first) override {
        reports.push_back({done, total, first});
        return static_cast<int>(reports.size()) < stopAt;
    }
    void finished() override { ++finishes; }

    std::vector<Report> reports;
    int finishes = 0;
    int stopAt = 1 << 30;  // answer false on this report
};

constexpr std::int64_t kMiB = 1 << 20;

}  // namespace

TEST(Drain, ReportsOncePerMebibyteThenFinishes) {
    auto* u = new BlockUnder(16384, 3 * kMiB);
    Wrapper<iUnder> keep(u);
    Recorder r;
    EXPECT_TRUE(drain(keep, &r));
    EXPECT_EQ(r.reports,
              (std::vector<Report>{{63, 192, true}, {127, 192, false}, {191, 192, false}}));
    EXPECT_EQ(r.finishes, 1);
    EXPECT_EQ(u->consumed, static_cast<std::uint64_t>(3 * kMiB));
    EXPECT_EQ(u->position, 3 * kMiB);
    EXPECT_EQ(u->lastMinimum, 16384u);
}

TEST(Drain, ReceiverStopsOnFirstReport) {
    auto* u = new BlockUnder(16384, 3 * kMiB);
    Wrapper<iUnder> keep(u);
    Recorder r;
    r.stopAt = 1;
    EXPECT_FALSE(drain(keep, &r));
    EXPECT_EQ(r.reports.size(), 1u);
    EXPECT_EQ(r.finishes, 0);
    EXPECT_EQ(u->consumed, 63u * 16384);  // the reporting block is not consumed
}

TEST(Drain, ConsumesExactlyTheLength) {
    for (std::uint32_t block : {16384u, 50000u, 7u}) {
        auto* u = new BlockUnder(block, 100000);
        Wrapper<iUnder> keep(u);
        EXPECT_TRUE(drain(keep, nullptr));
        EXPECT_EQ(u->consumed, 100000u) << block;
        EXPECT_EQ(u->position, 100000) << block;
    }
    auto* empty = new BlockUnder(16384, 0);
    Wrapper<iUnder> keep(empty);
    Recorder r;
    EXPECT_TRUE(drain(keep, &r));
    EXPECT_EQ(empty->consumed, 0u);
    EXPECT_EQ(r.finishes, 1);
    EXPECT_TRUE(r.reports.empty());
}

TEST(Drain, BigBlocksReportOnEveryMebibyteCrossed) {
    // 600 KiB blocks over 3 MiB: boundaries crossed by the 2nd, 4th and 6th
    // block (totals 1200, 2400 and 3072 KiB).
    auto* u = new BlockUnder(600 * 1024, 3 * kMiB);
    Wrapper<iUnder> keep(u);
    Recorder r;
    EXPECT_TRUE(drain(keep, &r));
    EXPECT_EQ(r.reports,
              (std::vector<Report>{{38, 192, true}, {113, 192, false}, {188, 192, false}}));
}

TEST(Drain, LengthLearnedLateEndsTheDrain) {
    auto* u = new BlockUnder(16384, -1);
    u->learnAfterPeeks = 80;
    u->learnedLength = 1500000;
    Wrapper<iUnder> keep(u);
    Recorder r;
    EXPECT_TRUE(drain(keep, &r));
    EXPECT_EQ(u->consumed, 1500000u);
    // The report at the first MiB came while the length was unknown.
    ASSERT_EQ(r.reports.size(), 1u);
    EXPECT_EQ(r.reports[0], (Report{63, 0, true}));
    EXPECT_EQ(r.finishes, 1);
}

TEST(Drain, UnknownLengthReportsSoTheReceiverCanStop) {
    auto* u = new BlockUnder(16384, -1);
    Wrapper<iUnder> keep(u);
    Recorder r;
    r.stopAt = 5;
    EXPECT_FALSE(drain(keep, &r));
    ASSERT_EQ(r.reports.size(), 5u);
    for (std::size_t i = 0; i < r.reports.size(); ++i)
        EXPECT_EQ(r.reports[i], (Report{static_cast<std::uint32_t>(64 * i + 63), 0, i == 0}));
    EXPECT_EQ(r.finishes, 0);
}

TEST(Drain, AStreamThatRunsDry) {
    // Unknown length: nothing more to read is its end.
    auto* open = new BlockUnder(16384, -1);
    open->dryAfterBytes = 40000;
    Wrapper<iUnder> keepOpen(open);
    Recorder r;
    EXPECT_TRUE(drain(keepOpen, &r));
    EXPECT_EQ(open->consumed, 49152u);
    EXPECT_EQ(r.finishes, 1);

    // Known length not reached: a short output is a failure.
    auto* shortOne = new BlockUnder(16384, 100000);
    shortOne->dryAfterBytes = 40000;
    Wrapper<iUnder> keepShort(shortOne);
    Recorder r2;
    try {
        drain(keepShort, &r2);
        ADD_FAILURE() << "a short stream drained";
    } catch (const WobblyBecause& e) {
        // three whole blocks of 16384 came before it ran dry
        EXPECT_STREQ(e.what(), "the input ended 50848 bytes before its stated length");
    }
    EXPECT_EQ(r2.finishes, 0);
}

TEST(Drain, ThroughTheAdaptorReleasingTheChain) {
    int destroyed = 0;
    auto* src = new MemoryOver(TestStreams::randomBytes(3 * kMiB + 5, 9), {{kMiB, 2 * kMiB}});
    src->destroyed = &destroyed;
    src->granularity = 6;
    Recorder r;
    EXPECT_TRUE(drain(Wrapper<iUnder>(__adapt<iUnder>::from(Wrapper<iOver>(src))), &r));
    EXPECT_EQ(destroyed, 1);  // the drain held the last handle
    ASSERT_EQ(r.reports.size(), 3u);
    EXPECT_TRUE(r.reports[0].first);
    EXPECT_EQ(r.reports[0].total, 193u);
    EXPECT_EQ(r.finishes, 1);
}

namespace {

class Failing final : public iOver, public Source {
public:
    explicit Failing(int* d) : destroyed(d) {}
    ~Failing() override { ++*destroyed; }
    void seek(std::uint64_t) override {}
    Block read(slice<std::uint8_t>, std::uint32_t) override {
        throw std::runtime_error("read failed");
    }
    int* destroyed;
};

}  // namespace

TEST(Drain, UpstreamExceptionsPassAndReleaseTheChain) {
    int destroyed = 0;
    Recorder r;
    EXPECT_THROW(
        drain(Wrapper<iUnder>(__adapt<iUnder>::from(Wrapper<iOver>(new Failing(&destroyed)))), &r),
        std::runtime_error);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(r.finishes, 0);
}
