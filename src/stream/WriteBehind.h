#pragma once

// Write-behind for a chain that is split (ReadAhead): the output's writes and seeks, in the
// order the writer made them, are carried out by the read-ahead task when it has no block to
// fill, or by the reader while it waits for the task's blocks: by whichever thread has time.
//
// The writer calls tell, seek and write here; the position is kept here, so tell answers at
// once. Writes and seeks are collected into batches of about `batchBytes` handed to the task, at
// most `batches` at a time (the memory bound); a writer's own batch of bytes handed over whole
// (writeTaking, no copy) ends a batch. When they are all queued, the writer carries out
// the oldest itself (one batch at a time, in order, whoever does it). While no task serves this
// (none started, or it ended), every call goes straight to the target, after whatever was queued:
// without a task the target sees exactly the writer's calls, when they are made. A failure of the
// target in the task is thrown by the writer's next call (the same exception); the operations
// queued after it are dropped. flush waits until everything queued is done; the target is then the
// writer's again.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "stream/ReadAhead.h"

namespace Stream {

class WriteBehind final : public iSideWork {
public:
    // Where the operations go.
    class iTarget {
    public:
        virtual ~iTarget() = default;
        virtual void seekTo(std::int64_t position) = 0;
        // zeros: end - begin zero bytes, whatever the range holds.
        virtual void write(const std::uint8_t* begin, const std::uint8_t* end, bool zeros) = 0;
    };

    explicit WriteBehind(std::size_t batchBytes = 256 * 1024, std::size_t batches = 4);

    // The target, at `position`; before any other call.
    void open(std::unique_ptr<iTarget> target, std::int64_t position);
    iTarget* target() const { return target_.get(); }

    // The writer's calls (one thread). `zeros`: n zero bytes, whatever `begin` holds.
    std::int64_t tell();
    void seek(std::int64_t position);
    void write(const std::uint8_t* begin, std::size_t n, bool zeros);
    // Writes the first n bytes of `bytes`. Where they are queued the vector itself is taken,
    // not copied, and `bytes` holds another in its place (an earlier one, or empty).
    void writeTaking(std::vector<std::uint8_t>& bytes, std::size_t n);
    void flush();

    void attach(std::function<void()> wake) override;
    bool pending() const override { return pending_.load(std::memory_order_acquire); }
    void step() override;
    std::exception_ptr failure() const override;
    void detach() override;

    // Batches carried out by step (for tests).
    std::uint64_t stepsDone() const { return steps_.load(); }

private:
    struct Op {
        std::int64_t seekTo;  // -1: none; else a seek to this position before the bytes
        std::size_t offset;   // the bytes: in the batch's buffer, or taken[offset]
        std::size_t length;
        bool taken = false;
    };
    struct Batch {
        std::vector<Op> ops;
        std::vector<std::uint8_t> bytes;
        // Vectors handed over by writeTaking; one ends its batch, so no write follows it there.
        std::vector<std::vector<std::uint8_t>> taken;
    };

    bool direct();            // nothing queued and no task: straight to the target
    void hand(bool all);      // gives the open batch to the task (or carries it out); all: waits
    void carryOut(Batch& b);  // on whichever thread does the work
    // Under lock_.
    void drainHere(std::unique_lock<std::mutex>& l);
    void recycle(Batch& b);
    // Carries out `b` with lock_ released (busy_ set meanwhile), then records an error and
    // recycles the batch.
    void carryOutUnlocked(std::unique_lock<std::mutex>& l, Batch& b);

    const std::size_t batchBytes_;
    const std::size_t batches_;
    std::unique_ptr<iTarget> target_;
    std::int64_t position_ = 0;  // the writer's
    Batch open_;                 // the writer's

    mutable std::mutex lock_;
    std::condition_variable changed_;
    // Under lock_.
    std::function<void()> wake_;  // set while a task serves this
    std::deque<Batch> queue_;
    std::vector<Batch> spare_;
    std::vector<std::vector<std::uint8_t>> spareTaken_;  // taken vectors carried out, for reuse
    bool busy_ = false;  // a batch is being carried out
    std::exception_ptr error_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> served_{false};
    std::atomic<std::uint64_t> steps_{0};
};

}  // namespace Stream
