// Stream::ReadAhead: the reader gets exactly the upstream's bytes whether a task reads ahead,
// the launcher refuses, or the task starts too late; upstream errors reach the reader in order;
// a seek, a visit and destruction mid-way stop the task cleanly. Threaded: run under TSan too.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream/ReadAhead.h"
#include "stream/Stop.h"
#include "stream/TestStreams.h"

namespace {

using namespace TestStreams;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kSize = 96000;  // bytes per channel

// Starts every task on a thread of its own; joins them when destroyed.
struct ThreadLauncher {
    std::vector<std::thread> threads;
    ~ThreadLauncher() {
        for (std::thread& t : threads) t.join();
    }
    Stream::Launcher launcher(std::function<bool()> wanted = {}) {
        Stream::Launcher l;
        l.launch = [this](std::function<void()> task) {
            threads.emplace_back(std::move(task));
            return true;
        };
        l.wanted = std::move(wanted);
        return l;
    }
};

Stream::Launcher launchWith(std::function<bool(std::function<void()>)> launch) {
    Stream::Launcher l;
    l.launch = std::move(launch);
    return l;
}

MemoryVOver* makeSource(LengthMode mode) {
    auto* s = new MemoryVOver({randomBytes(kSize, 1), randomBytes(kSize, 2)}, {{}, {{8000, 24000}}},
                              mode);
    s->granularity = 8;
    s->expansion = 2;
    return s;
}

// Throws once a read reaches `at` bytes.
class FailingVOver final : public Stream::iVOver,
                           public Stream::Consumer<Stream::Wrapper<Stream::iVOver>> {
public:
    FailingVOver(Stream::Wrapper<Stream::iVOver> up, std::uint64_t at)
        : Consumer(std::move(up)), at_(at) {
        channels = upstream->channels;
        granularity = upstream->granularity;
        expansion = upstream->expansion;
    }
    void seek(std::uint64_t) override {}
    Stream::VBlock read(Stream::VSlice dest, std::uint32_t capacity) override {
        if (static_cast<std::uint64_t>(position) + dest.length() > at_)
            throw std::runtime_error("bad sector");
        Stream::VBlock b = upstream->read(dest, capacity);
        Stream::advance(*upstream, b);
        return b;
    }

private:
    std::uint64_t at_;
};

// Gives `ready` bytes of zeros, slowly (30 ms a read), then waits in WaitReady for `fd` to be
// readable, as a read of standard input does while its producer is idle; a wait given up
// throws Stopped.
class WaitingVOver final : public Stream::iVOver, public Stream::Source {
public:
    WaitingVOver(int fd, std::uint64_t ready) : fd_(fd), ready_(ready) {
        channels = 2;
        granularity = 8;
        expansion = 1;
    }
    void seek(std::uint64_t) override {}
    Stream::VBlock read(Stream::VSlice dest, std::uint32_t) override {
        const std::uint64_t at = static_cast<std::uint64_t>(position);
        if (at < ready_) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (at >= ready_ && !Stream::WaitReady(fd_, POLLIN)) throw Stream::Stopped();
        return Stream::VBlock{dest.channels, dest.begin, dest.end, Stream::kAllSilent,
                              Stream::kAllSilent};
    }

private:
    int fd_;
    std::uint64_t ready_;
};

// Reads `chunk` bytes at a time until `total` bytes per channel or a short block.
std::vector<Bytes> readAll(Stream::iVOver& s, std::uint32_t chunk, std::uint64_t total,
                           std::vector<Bytes> got = {}) {
    got.resize(s.channels);
    std::vector<Bytes> memory(s.channels, Bytes(std::size_t{chunk} * s.expansion));
    Stream::Channels set(s.channels);
    for (std::uint32_t i = 0; i < s.channels; ++i) set[i] = memory[i].data();
    while (static_cast<std::uint64_t>(s.position) < total) {
        const auto n = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(chunk, total - static_cast<std::uint64_t>(s.position)));
        const Stream::VBlock b = s.read(Stream::VSlice{&set, 0, n}, n * s.expansion);
        const std::uint32_t len = std::min(b.length(), n);
        for (std::uint32_t i = 0; i < s.channels; ++i) {
            if (b.silentMask.test(i)) {
                got[i].insert(got[i].end(), len, 0);
            } else {
                const std::uint8_t* from = (*b.channels)[i] + b.begin;
                got[i].insert(got[i].end(), from, from + len);
            }
        }
        s.position += len;
        if (len < n) break;
    }
    return got;
}

struct Row {
    std::uint32_t chunk;   // reader's request, bytes per channel
    std::uint32_t block;   // read-ahead block
    std::uint32_t blocks;  // in flight
    LengthMode mode;
};

class ReadAheadRows : public ::testing::TestWithParam<Row> {};

TEST_P(ReadAheadRows, GivesTheUpstreamBytesInOrder) {
    const Row r = GetParam();
    ThreadLauncher threads;
    MemoryVOver* source = makeSource(r.mode);
    const std::vector<Bytes> want = source->data;
    {
        auto* stage = new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(source),
                                            threads.launcher(), r.block, r.blocks);
        Stream::Wrapper<Stream::iVOver> w(stage);
        EXPECT_EQ(readAll(*stage, r.chunk, kSize), want);
        EXPECT_TRUE(stage->everSplit());
        EXPECT_EQ(stage->length,
                  r.mode == LengthMode::Never ? -1 : static_cast<std::int64_t>(kSize));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReadAheadRows,
                         ::testing::Values(Row{8, 64, 2, LengthMode::Known},
                                           Row{4096, 1000, 4, LengthMode::Known},
                                           Row{65536, 32768, 3, LengthMode::OnFirstRead},
                                           Row{1000, 4096, 2, LengthMode::AtEnd},
                                           Row{24000, 8192, 4, LengthMode::Never}));

TEST(ReadAhead, RefusedLauncherPassesEveryReadStraightThrough) {
    MemoryVOver* source = makeSource(LengthMode::Known);
    const std::vector<Bytes> want = source->data;
    int asked = 0;
    auto* stage = new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(source),
                                        launchWith([&](std::function<void()>) {
                                            ++asked;
                                            return false;
                                        }),
                                        4096, 4);
    Stream::Wrapper<Stream::iVOver> w(stage);
    EXPECT_EQ(readAll(*stage, 1000, kSize), want);
    EXPECT_FALSE(stage->everSplit());
    EXPECT_EQ(source->requests, std::vector<std::uint64_t>(96, 1000));
    EXPECT_GT(asked, 1);  // asked again now and then: a thread may have become free
}

// An upstream whose reads expand a block thousands of times (an extreme rate ratio) is not cut:
// the blocks would take gigabytes (2.75 GB for 255 channels at 1024 -> 16777216 Hz), or over
// 4 GiB each, which failed the conversion with no reason.
TEST(ReadAhead, BlocksThatWouldTakeGigabytesLeaveTheChainUncut) {
    ThreadLauncher threads;
    for (const std::uint32_t expansion : {2u, 16384u, 1u << 20}) {
        MemoryVOver* source = makeSource(LengthMode::Known);
        source->expansion = expansion;
        Stream::Wrapper<Stream::iVOver> up(source);
        const Stream::Wrapper<Stream::iVOver> cut = Stream::readAhead(up, threads.launcher());
        EXPECT_EQ(cut.get() == source, expansion > 2) << expansion;
    }
}

// A conversion that starts while no worker is free (one still starting, or all busy in a
// batch) splits once one is: it used to read on its own thread to the end.
TEST(ReadAhead, LauncherThatRefusedAtFirstIsAskedAgainAndTheTaskReadsAhead) {
    ThreadLauncher threads;
    MemoryVOver* source = makeSource(LengthMode::Known);
    const std::vector<Bytes> want = source->data;
    Stream::Launcher accept = threads.launcher();
    int asked = 0;
    auto* stage = new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(source),
                                        launchWith([&](std::function<void()> task) {
                                            return ++asked > 1 && accept.launch(std::move(task));
                                        }),
                                        4096, 4);
    Stream::Wrapper<Stream::iVOver> w(stage);
    EXPECT_EQ(readAll(*stage, 1000, kSize), want);
    EXPECT_TRUE(stage->everSplit());
    EXPECT_EQ(asked, 2);
}

TEST(ReadAhead, TaskThatStartsTooLateNeverTouchesTheUpstream) {
    std::vector<std::function<void()>> kept;
    MemoryVOver* source = makeSource(LengthMode::Known);
    const std::vector<Bytes> want = source->data;
    {
        auto* stage = new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(source),
                                            launchWith([&](std::function<void()> task) {
                                                kept.push_back(std::move(task));
                                                return true;
                                            }),
                                            4096, 4);
        Stream::Wrapper<Stream::iVOver> w(stage);
        EXPECT_EQ(readAll(*stage, 1000, kSize), want);
        EXPECT_FALSE(stage->everSplit());
    }
    ASSERT_EQ(kept.size(), 1u);
    kept[0]();  // the stage and its upstream are gone
}

TEST(ReadAhead, TaskWantedElsewhereEndsAndTheReadsPassThrough) {
    ThreadLauncher threads;
    MemoryVOver* source = makeSource(LengthMode::Known);
    const std::vector<Bytes> want = source->data;
    std::atomic<int> asked = 0;
    Stream::Launcher first = threads.launcher([&] { return ++asked == 3; });
    int launches = 0;  // the first accepted; later ones (a thread free again) refused here
    Stream::Launcher launcher = first;
    launcher.launch = [&](std::function<void()> task) {
        return ++launches == 1 && first.launch(std::move(task));
    };
    auto* stage = new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(source), launcher, 4096, 4);
    Stream::Wrapper<Stream::iVOver> w(stage);
    EXPECT_EQ(readAll(*stage, 1000, kSize), want);
    EXPECT_TRUE(stage->everSplit());
    EXPECT_EQ(asked.load(), 3);
    EXPECT_GT(launches, 1);  // asked again after the task gave its thread back
    // Three blocks ahead, then the rest of the read under way, then the reader's own reads.
    std::vector<std::uint64_t> requests{4096, 4096, 4096, 13000 - 3 * 4096};
    requests.resize(requests.size() + (kSize - 13000) / 1000, 1000);
    EXPECT_EQ(source->requests, requests);
}

TEST(ReadAhead, UpstreamErrorReachesTheReaderAfterTheBytesBeforeIt) {
    ThreadLauncher threads;
    MemoryVOver* source = makeSource(LengthMode::Known);
    const std::vector<Bytes> want = source->data;
    auto* failing = new FailingVOver(Stream::Wrapper<Stream::iVOver>(source), 50000);
    auto* stage = new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(failing),
                                        threads.launcher(), 4096, 4);
    Stream::Wrapper<Stream::iVOver> w(stage);
    std::vector<Bytes> got(2);
    Stream::Channels set(2);
    std::vector<Bytes> memory(2, Bytes(2000));
    for (int i = 0; i < 2; ++i) set[i] = memory[i].data();
    std::string error;
    try {
        for (;;) {
            const Stream::VBlock b = stage->read(Stream::VSlice{&set, 0, 1000}, 2000);
            got[0].insert(got[0].end(), set[0], set[0] + b.length());
            stage->position += b.length();
        }
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "bad sector");
    EXPECT_EQ(got[0].size(), 50000u / 4096 * 4096 / 1000 * 1000);
    EXPECT_TRUE(std::equal(got[0].begin(), got[0].end(), want[0].begin()));
}

TEST(ReadAhead, SeekAndVisitMidwayKeepTheBytesRight) {
    ThreadLauncher threads;
    MemoryVOver* source = makeSource(LengthMode::Known);
    const std::vector<Bytes> want = source->data;
    auto* stage =
        new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(source), threads.launcher(), 2048, 4);
    Stream::Wrapper<Stream::iVOver> w(stage);
    std::vector<Bytes> part = readAll(*stage, 3000, 30000);
    stage->seek(12000);
    stage->position = 12000;
    std::vector<Bytes> got = readAll(*stage, 3000, 60000);
    EXPECT_EQ(Bytes(got[1].begin(), got[1].end()),
              Bytes(want[1].begin() + 12000, want[1].begin() + 60000));
    std::int64_t seen = -1;
    stage->visit([&](int, iStream* s) { return seen = s->length, true; }, 0);
    EXPECT_EQ(seen, static_cast<std::int64_t>(kSize));
    got = readAll(*stage, 3000, kSize, std::move(got));
    EXPECT_EQ(Bytes(got[0].begin(), got[0].end()), Bytes(want[0].begin() + 12000, want[0].end()));
}

TEST(ReadAhead, DestroyedWhileTheTaskWaitsForRoom) {
    ThreadLauncher threads;
    for (int round = 0; round < 20; ++round) {
        auto* stage =
            new Stream::ReadAhead(Stream::Wrapper<Stream::iVOver>(makeSource(LengthMode::Never)),
                                  threads.launcher(), 512, 2);
        Stream::Wrapper<Stream::iVOver> w(stage);
        readAll(*stage, 800, 800 * round);
    }
}

// Runs `body` on a thread of its own while the producer writing to `producer` stays idle; true
// when it ended within 10 s (else the producer acts, so that the test ends, failed).
bool endsWhileTheProducerIsIdle(int producer, std::function<void()> body) {
    auto ended = std::async(std::launch::async, std::move(body));
    const bool inTime = ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!inTime) {
        const char byte = 0;
        EXPECT_EQ(write(producer, &byte, 1), 1);
    }
    ended.wait();
    return inTime;
}

// The upstream waits for its own producer (standard input) after two blocks: the reader gets
// those blocks without waiting for more, and a job that then fails drops its chain at once
// instead of waiting for the producer.
TEST(ReadAhead, TaskWaitingForAnIdleProducerHoldsBackNeitherItsBlocksNorTheEnd) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    {
        ThreadLauncher threads;
        auto* stage = new Stream::ReadAhead(
            Stream::Wrapper<Stream::iVOver>(new WaitingVOver(pipeFds[0], 1024)), threads.launcher(),
            512, 8);
        auto wrapper = std::make_unique<Stream::Wrapper<Stream::iVOver>>(stage);
        EXPECT_TRUE(endsWhileTheProducerIsIdle(pipeFds[1], [&] {
            readAll(*stage, 512, 1024);
            wrapper.reset();
        })) << "the reader or the destruction waited for the producer";
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// Work besides the reading (a write-behind) whose one step fails, as a write to a full disk;
// pending once `armed`.
class FailingSideWork final : public Stream::iSideWork {
public:
    explicit FailingSideWork(bool armed = true) : armed_(armed) {}
    void arm() { armed_ = true; }
    void attach(std::function<void()> wake) override { wake(); }
    bool pending() const override {
        std::lock_guard l(lock_);
        return armed_ && !failed_;
    }
    void step() override {
        std::lock_guard l(lock_);
        if (armed_) failed_ = std::make_exception_ptr(std::runtime_error("disk full"));
    }
    std::exception_ptr failure() const override {
        std::lock_guard l(lock_);
        return failed_;
    }
    void detach() override {}

private:
    mutable std::mutex lock_;
    bool armed_;
    std::exception_ptr failed_;
};

// The side work of the task (the output's writes) fails while the upstream's producer is idle,
// given before the task reads or once it waits for its producer (the reader, waiting for the
// task anyway, does the step): the reader is given the failure at once. The task read on,
// and the writes given later waited for the producer, as did the failed job.
TEST(ReadAhead, ASideWorkThatFailsEndsTheReadingAndReachesTheReader) {
    for (const bool givenLate : {false, true}) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        {
            ThreadLauncher threads;
            Stream::Launcher launch = threads.launcher();
            auto side = std::make_shared<FailingSideWork>(!givenLate);
            launch.side = side;
            auto* stage = new Stream::ReadAhead(
                Stream::Wrapper<Stream::iVOver>(new WaitingVOver(pipeFds[0], 1024)), launch, 512,
                8);
            Stream::Wrapper<Stream::iVOver> w(stage);
            std::string failure;
            EXPECT_TRUE(endsWhileTheProducerIsIdle(
                pipeFds[1],
                [&] {
                    try {
                        std::vector<Bytes> got = readAll(*stage, 512, 1024);
                        std::this_thread::sleep_for(
                            std::chrono::milliseconds(50));  // the task waits
                        side->arm();
                        readAll(*stage, 512, 1 << 20, std::move(got));
                    } catch (const std::runtime_error& e) {
                        failure = e.what();
                    }
                }))
                << "waited for the producer, given late: " << givenLate;
            EXPECT_EQ(failure, "disk full") << givenLate;
        }
        close(pipeFds[0]);
        close(pipeFds[1]);
    }
}

}  // namespace
