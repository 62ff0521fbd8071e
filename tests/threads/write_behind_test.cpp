// WriteBehind: a writer's seeks and writes carried out by a serving thread leave the file as
// the same calls made directly would; a failure there reaches the writer; a thread that stops
// serving mid-way hands the rest back. Threaded: run under TSan too.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream/WriteBehind.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A file in memory; the `failAt`-th write (from 1) fails.
class MemoryFile final : public Stream::WriteBehind::iTarget {
public:
    MemoryFile(Bytes& data, int failAt = 0) : data_(data), failAt_(failAt) {}
    void seekTo(std::int64_t p) override { position_ = static_cast<std::size_t>(p); }
    void write(const std::uint8_t* begin, const std::uint8_t* end, bool zeros) override {
        if (++writes_ == failAt_) throw std::runtime_error("disk full");
        const auto n = static_cast<std::size_t>(end - begin);
        if (data_.size() < position_ + n) data_.resize(position_ + n);
        for (std::size_t i = 0; i < n; ++i) data_[position_ + i] = zeros ? 0 : begin[i];
        position_ += n;
    }

private:
    Bytes& data_;
    std::size_t position_ = 0;
    int writes_ = 0;
    int failAt_;
};

// Serves a side work as a read-ahead task does, until told to stop (then it detaches).
class Server {
public:
    explicit Server(std::shared_ptr<Stream::iSideWork> w) : work_(std::move(w)) {
        work_->attach([this] {
            std::lock_guard l(lock_);
            changed_.notify_all();
        });
        thread_ = std::thread([this] {
            std::unique_lock l(lock_);
            for (;;) {
                changed_.wait(l, [&] { return stop_ || work_->pending(); });
                if (stop_) break;
                l.unlock();
                work_->step();
                l.lock();
            }
            l.unlock();
            work_->detach();
        });
    }
    void stop() {
        {
            std::lock_guard l(lock_);
            stop_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }
    ~Server() { stop(); }

private:
    std::shared_ptr<Stream::iSideWork> work_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::thread thread_;
};

// What a WAVE writer does: per block its header at 0, then the block after the data so far;
// every fifth block is silence; at the end a trailer right after the last block (chunks after
// the audio). `taking`: the blocks that are not silent are handed over (writeTaking), and the
// writer fills whatever vector it gets back.
void writeLikeAWaveWriter(Stream::WriteBehind& out, int blocks, std::size_t block,
                          const std::function<void(int)>& between = {}, bool taking = false) {
    Bytes header(44, 0), data(block);
    for (int b = 0; b < blocks; ++b) {
        const std::int64_t at = out.tell();
        header[4] = static_cast<std::uint8_t>(b);
        out.seek(0);
        out.write(header.data(), header.size(), false);
        out.seek(at < 44 ? 44 : at);
        if (data.size() < block) data.resize(block);
        for (std::size_t i = 0; i < block; ++i) data[i] = static_cast<std::uint8_t>(b * 7 + i);
        if (taking && b % 5 != 3)
            out.writeTaking(data, block);
        else
            out.write(data.data(), block, b % 5 == 3);
        if (between) between(b);
    }
    out.write(header.data(), 8, false);
    out.flush();
}

Bytes direct(int blocks, std::size_t block) {
    Bytes file;
    Stream::WriteBehind out;
    out.open(std::make_unique<MemoryFile>(file), 0);
    writeLikeAWaveWriter(out, blocks, block);
    return file;
}

struct Row {
    std::size_t batchBytes;
    std::size_t batches;
    std::size_t block;
    bool taking = false;
};

class WriteBehindRows : public ::testing::TestWithParam<Row> {};

TEST_P(WriteBehindRows, ServedWritesLeaveTheFileOfDirectOnes) {
    const Row r = GetParam();
    Bytes file;
    auto behind = std::make_shared<Stream::WriteBehind>(r.batchBytes, r.batches);
    behind->open(std::make_unique<MemoryFile>(file), 0);
    Server server(behind);
    writeLikeAWaveWriter(*behind, 60, r.block, {}, r.taking);
    server.stop();
    EXPECT_EQ(file, direct(60, r.block));
    EXPECT_GT(behind->stepsDone(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteBehindRows,
                         ::testing::Values(Row{1, 1, 100}, Row{4096, 2, 1000},
                                           Row{256 * 1024, 4, 11000}, Row{1, 1, 100, true},
                                           Row{4096, 2, 1000, true}, Row{4096, 3, 5000, true},
                                           Row{256 * 1024, 4, 11000, true}));

TEST(WriteBehind, WithoutAServerEveryCallGoesStraightThrough) {
    Bytes file;
    auto behind = std::make_shared<Stream::WriteBehind>(4096, 2);
    behind->open(std::make_unique<MemoryFile>(file), 0);
    writeLikeAWaveWriter(*behind, 3, 100,
                         [&](int b) { EXPECT_EQ(file.size(), 44u + 100u * (b + 1)); });
    EXPECT_EQ(behind->stepsDone(), 0u);
}

TEST(WriteBehind, ServerStoppingMidwayHandsTheRestBack) {
    for (const bool taking : {false, true}) {
        Bytes file;
        auto behind = std::make_shared<Stream::WriteBehind>(2048, 3);
        behind->open(std::make_unique<MemoryFile>(file), 0);
        Server server(behind);
        writeLikeAWaveWriter(
            *behind, 60, 700,
            [&](int b) {
                if (b == 30) server.stop();
            },
            taking);
        EXPECT_EQ(file, direct(60, 700)) << "taking " << taking;
    }
}

TEST(WriteBehind, ServedFailureReachesTheWriter) {
    Bytes file;
    auto behind = std::make_shared<Stream::WriteBehind>(1024, 2);
    behind->open(std::make_unique<MemoryFile>(file, 25), 0);
    Server server(behind);
    std::string error;
    try {
        writeLikeAWaveWriter(*behind, 60, 500);
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "disk full");
    EXPECT_LE(file.size(), 44u + 12 * 500u);  // nothing after the failed write
}

}  // namespace
