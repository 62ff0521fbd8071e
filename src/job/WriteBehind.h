#pragma once

// Write-behind for a conversion whose chain is split (Stream::ReadAhead): the output file's
// writes and seeks, in the order the writer made them, are carried out by the read-ahead task
// between its blocks, so that the job's own thread only computes.
//
// The writer sees a byte output (Output) that keeps its own position: Tell answers at once,
// writes and seeks are collected into batches of about `batchBytes` handed to the task, at most
// `batches` at a time (the memory bound). While no task serves it (none started, or it ended),
// the output does every operation itself, after the queued ones: without a task it is the
// file's own output. A failure of the file in the
// task is thrown by the next call of the writer (the same exception), the queued operations
// after it are dropped. Close waits until everything queued is done, then closes the file on
// the caller's thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/io/FileWriter.h"
#include "stream/ReadAhead.h"

class WriteBehind final : public Stream::iSideWork,
                          public std::enable_shared_from_this<WriteBehind> {
public:
    explicit WriteBehind(std::size_t batchBytes = 256 * 1024, std::size_t batches = 4);

    // The output to give the writer in place of `inner`; once.
    sptr<Stream::iByteOutput> wrap(sptr<Stream::iByteOutput> inner);

    void attach(std::function<void()> wake) override;
    bool pending() const override { return pending_.load(std::memory_order_acquire); }
    void step() override;
    void detach() override;

    // Batches the task carried out (for tests).
    std::uint64_t stepsDone() const { return steps_.load(); }

private:
    class Output;
    struct Op {
        std::int64_t seekTo;  // -1: none; else a seek to this position before the bytes
        std::size_t offset;   // the bytes, in the batch's buffer
        std::size_t length;
    };
    struct Batch {
        std::vector<Op> ops;
        std::vector<std::uint8_t> bytes;
    };

    // On the writer's thread.
    bool direct();  // nothing queued and no task: the writer's call goes straight through
    void check();   // throws a failure of the task
    void seek(std::int64_t position);
    void write(const std::uint8_t* begin, std::size_t n, bool zeros);
    void hand(bool all);  // gives the open batch to the task (or does it); all: and waits
    void close();
    void carryOut(Batch& b);  // on whichever thread does the work
    // Under lock_.
    void drainHere(std::unique_lock<std::mutex>& l);  // carries out the queue on this thread
    void recycle(Batch& b);

    const std::size_t batchBytes_;
    const std::size_t batches_;
    sptr<Stream::iByteOutput> inner_;
    std::int64_t position_ = 0;  // the writer's view
    Batch open_;                 // the writer's

    mutable std::mutex lock_;
    std::condition_variable changed_;
    // Under lock_.
    std::function<void()> wake_;  // set while a task serves this
    std::deque<Batch> queue_;
    std::vector<Batch> spare_;
    bool busy_ = false;  // a batch is being carried out
    std::exception_ptr error_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> served_{false};  // a task is attached
    std::atomic<std::uint64_t> steps_{0};
};
