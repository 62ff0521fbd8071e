#pragma once

// Read-ahead on another thread: a pipeline cut in a chain of channel streams.
//
// The stage hands its upstream to a task that reads it in fixed blocks into a bounded set of
// buffers, while the stage's reader works on the blocks already read. The upstream is then only
// touched by that task, never by two threads at once; the bytes the reader gets are the bytes
// the upstream gives, in the same order, so a chain with the cut computes what it computes
// without it. Memory per channel: `blocks` buffers of `blockBytes` x upstream expansion (the
// room an upstream read may use); the upstream reads straight into them.
//
// When no task can be started (the launcher says no), the stage passes reads straight through on
// the reader's thread, as it does after the task has ended (the upstream reached its length or
// gave a short block, or the task's thread is wanted elsewhere) for whatever is read past that.
// After a refusal, or a task that gave its thread back, the launcher is asked again every 32
// reads, so that a thread freed later (one still starting when the reads began, or one whose
// job ended) takes the upstream over from where the reader is. An exception thrown by the
// upstream in the task is thrown by the read that reaches the point where it happened. A task
// the launcher took but that has not started when the reader first waits for it (200 ms) is
// given up for good: it will not touch the upstream, and the reads pass through.
//
// Thread roles: construction, read, seek, visit and destruction on the reader's thread. A seek
// stops the task (it starts again at the next read); a visit that finds the task started stops
// it for good, so that the walk, and whatever the caller looks at afterwards (counters the
// upstream fills), sees the upstream at rest. Destruction stops the task and waits for its
// current block; a read of that block waiting in WaitReady (standard input whose producer is
// idle) is ended at once (WaitCancel), not left to the producer.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "stream/Stream.h"

namespace Stream {

// Work a read-ahead task takes on besides its reading, for the far end of the same chain (a
// write-behind): it keeps the task, and so its thread, until the stage is destroyed. The task
// calls attach when it starts (`wake` wakes it; call it when work arrives), `pending` with its
// own lock held (so it must be cheap and take no lock that is held while calling `wake`),
// `step` to do one piece, and detach when it ends, after which the owner does the work itself.
// The task fills blocks first and takes the steps when it has no block to fill; the stage's
// reader, while it waits for blocks, does pending steps itself (the task is the slower one, or
// held in a read by an idle producer). So the work lands on whichever thread has time for it.
// Once a step failed (`failure`), the task reads no further (a read of an idle producer would
// keep the failed job waiting) and the reader is given the failure after the blocks already read.
class iSideWork {
public:
    virtual ~iSideWork() = default;
    virtual void attach(std::function<void()> wake) = 0;
    virtual bool pending() const = 0;
    virtual void step() = 0;
    virtual std::exception_ptr failure() const = 0;
    virtual void detach() = 0;
};

// Where a read-ahead task runs. `launch` runs the task on another thread, now; false when no
// thread is free for it (the task is then dropped without running). `wanted`, if set, is asked
// by the task between blocks: true ends it, giving its thread back (another job waits for it).
struct Launcher {
    std::function<bool(std::function<void()> task)> launch;
    std::function<bool()> wanted;
    std::shared_ptr<iSideWork> side;

    explicit operator bool() const { return static_cast<bool>(launch); }
};

class ReadAhead final : public iVOver, public Consumer<Wrapper<iVOver>> {
public:
    // Throws Wobbly for a null upstream, no channels or no launcher. `blockBytes` is rounded up
    // to the upstream granularity; `blocks` is at least 2.
    ReadAhead(Wrapper<iVOver> upstream, Launcher launch, std::uint32_t blockBytes,
              std::uint32_t blocks);
    ~ReadAhead() override;

    void seek(std::uint64_t position) override;
    VBlock read(VSlice dest, std::uint32_t capacity) override;
    bool visit(const VisitFn& fn, int depth) override;

    // True once a task took the upstream (for tests and figures).
    bool everSplit() const { return everSplit_; }

    struct Shared;

private:
    // Stops the task and waits until it no longer touches the upstream.
    void stopTask();
    // True when the upstream has no more content to read ahead.
    bool ended() const;

    Launcher launch_;
    std::shared_ptr<Shared> shared_;
    bool launched_ = false;     // a task was handed to the launcher since the last stop
    bool passThrough_ = false;  // no more tasks: reads go straight to the upstream
    std::uint32_t retryIn_ = 0;  // reads to pass through before the launcher is asked again
    bool everSplit_ = false;
    std::uint32_t offset_ = 0;  // bytes of the front block already given out
};

// A ReadAhead with blocks of about 64 KiB over all channels (at least 4 KiB per channel), eight
// in flight; `launch` empty, or blocks that would take over 256 MiB (an extreme rate ratio): the
// stream itself.
Wrapper<iVOver> readAhead(Wrapper<iVOver> upstream, Launcher launch);

}  // namespace Stream
