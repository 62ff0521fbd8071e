#include "stream/ReadAhead.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "stream/Stop.h"

namespace Stream {

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
// Bytes of a block over all channels (32 KiB per channel for stereo), and the least per channel:
// memory stays near stereo's with many channels.
constexpr std::uint32_t kDefaultBlockBytes = 65536;
constexpr std::uint32_t kLeastChannelBytes = 4096;
constexpr std::uint32_t kDefaultBlocks = 8;
// The most memory readAhead gives its blocks: past it (an extreme rate ratio, whose upstream
// reads expand a block thousands of times) the chain is not cut, as the cut would cost gigabytes.
constexpr std::uint64_t kMostBlockMemory = std::uint64_t{256} << 20;

// The room one channel's block takes: `blockBytes` rounded up to the upstream's unit, times the
// room an upstream read may use.
std::uint64_t blockRoom(const iVOver& upstream, std::uint32_t blockBytes) {
    const std::uint64_t unit = std::max<std::uint32_t>(upstream.granularity, 1);
    const std::uint64_t bytes = (std::max<std::uint64_t>(blockBytes, 1) + unit - 1) / unit * unit;
    return bytes * std::max<std::uint32_t>(upstream.expansion, 1);
}

// A launched task that has not started by then is given up and the reads pass through: a
// launcher that said yes normally starts it within microseconds.
constexpr auto kStartLimit = std::chrono::milliseconds(200);
// Reads passed through before a launcher that said no (no thread was free), or whose task gave
// its thread back, is asked again: a worker may be free by then (one still starting when the
// conversion began, or one that ended its job at the tail of a batch).
constexpr std::uint32_t kRetryReads = 32;
// The reader waits for half the blocks at a time (fewer wake-ups), but no longer than this for
// the blocks already read: an upstream that waits for its own producer (standard input) must
// not hold them back.
constexpr auto kGatherLimit = std::chrono::milliseconds(20);

}  // namespace

struct ReadAhead::Shared {
    struct Block {
        std::unique_ptr<std::uint8_t[]> memory;  // pages are touched only where written
        Channels set;
        std::uint32_t length = 0;  // bytes per channel the upstream gave
        ChannelMask silent;
        std::int64_t upstreamLength = -1;  // the upstream's length after this block
        bool last = false;                 // the task read nothing after it
        bool shortBlock = false;           // the upstream gave less than asked: its content ended
    };
    enum class Task { None, Waiting, Running, Ended };

    // Reads one block; on the task's thread.
    void fill(Block& b);
    // The task's body: generation `g` of the launches.
    void run(std::uint64_t g);

    iVOver* upstream = nullptr;  // the task's while it runs; the reader's otherwise
    std::function<bool()> wanted;
    std::shared_ptr<iSideWork> side;
    std::uint32_t channels = 0;
    std::uint32_t blockBytes = 0;
    std::uint32_t capacity = 0;  // bytes per channel of a block, lent to each upstream read
    // Fired when the stage is destroyed: ends the task's wait in a read of standard input (null
    // where the system gave no descriptor: such a wait then lasts until its producer acts).
    std::unique_ptr<WaitCancel> cancel;

    std::mutex lock;
    std::condition_variable changed;
    // Under `lock`.
    std::vector<Block> blocks;
    std::deque<Block*> full;  // read, in stream order; the reader's
    std::vector<Block*> free;
    Task task = Task::None;
    bool stop = false;
    bool readDone = false;  // the task reads no more (end, error, or its thread wanted)
    bool yielded = false;   // it ended because its thread was wanted
    std::uint64_t generation = 0;
    std::exception_ptr error;
};

void ReadAhead::Shared::fill(Block& b) {
    // The upstream writes into the block itself (it has the room the upstream borrows); only an
    // upstream that gives its own memory is copied.
    VBlock vb = upstream->read(VSlice{&b.set, 0, blockBytes}, capacity);
    advance(*upstream, vb);
    const std::uint32_t got = std::min(vb.length(), blockBytes);
    const Channels& src = vb.channels ? *vb.channels : b.set;
    for (std::uint32_t i = 0; i < channels; ++i) {
        if (vb.silentMask.test(i) || got == 0) continue;
        const std::uint8_t* from = src[i] + vb.begin;
        if (from != b.set[i]) std::memmove(b.set[i], from, got);
    }
    b.length = got;
    b.silent = got == 0 ? kAllSilent : vb.silentMask;
    b.upstreamLength = upstream->length;
    b.shortBlock = got < blockBytes;
    b.last = b.shortBlock || (upstream->length >= 0 && upstream->position >= upstream->length);
}

void ReadAhead::Shared::run(std::uint64_t g) {
    const WaitCancel::Scope scope(cancel.get());
    std::unique_lock l(lock);
    if (stop || g != generation) return;  // given up, or a later launch owns the upstream
    task = Task::Running;
    changed.notify_all();
    if (side) {
        l.unlock();
        side->attach([this] {
            std::lock_guard w(lock);
            changed.notify_all();
        });
        l.lock();
    }
    // Each thread that has to wait for the other waits for half the blocks, not one: fewer
    // wake-ups, which cost more than the blocks' work between them on a virtual machine.
    const std::size_t half = blocks.size() / 2;
    for (;;) {
        const std::size_t room = free.empty() ? half : 1;
        changed.wait(l, [&] {
            return stop || (!readDone && free.size() >= room) || (side && side->pending()) ||
                   (readDone && !side);
        });
        if (stop) break;
        // Blocks first (see iSideWork): side work when there is no block to fill.
        const bool fillNext = !readDone && free.size() >= room;
        if (!fillNext && side && side->pending()) {
            l.unlock();
            side->step();
            const std::exception_ptr failed = side->failure();
            l.lock();
            if (failed && !readDone) {
                error = failed;
                readDone = true;
                changed.notify_all();
            }
            continue;
        }
        if (readDone) break;
        Block* b = free.back();
        free.pop_back();
        l.unlock();
        std::exception_ptr e;
        try {
            fill(*b);
        } catch (...) {
            e = std::current_exception();
        }
        l.lock();
        if (e) {
            free.push_back(b);
            error = e;
            readDone = true;
            changed.notify_all();
            continue;
        }
        // Pushed even when stopped: the upstream has moved past it.
        full.push_back(b);
        if (b->last) readDone = true;
        changed.notify_all();
        if (!readDone && wanted) {
            l.unlock();
            const bool yield = wanted();
            l.lock();
            if (yield) {
                yielded = true;
                break;
            }
        }
    }
    readDone = true;
    if (side) {
        l.unlock();
        side->detach();
        l.lock();
    }
    task = Task::Ended;
    changed.notify_all();
}

ReadAhead::ReadAhead(Wrapper<iVOver> up, Launcher launch, std::uint32_t blockBytes,
                     std::uint32_t blocks)
    : Consumer(std::move(up)), launch_(std::move(launch)), shared_(std::make_shared<Shared>()) {
    if (!upstream || upstream->channels == 0 || !launch_) throw Wobbly{};
    copyTagFrom(*upstream);
    channels = upstream->channels;
    granularity = std::max<std::uint32_t>(upstream->granularity, 1);
    expansion = std::max<std::uint32_t>(upstream->expansion, 1);
    position = upstream->position;
    length = upstream->length;

    Shared& s = *shared_;
    s.upstream = upstream.get();
    s.wanted = launch_.wanted;
    s.side = launch_.side;
    s.channels = channels;
    try {
        s.cancel = std::make_unique<WaitCancel>();
    } catch (const std::exception&) {
    }
    const std::uint64_t room = blockRoom(*upstream, blockBytes);
    if (room > kMax32) throw WobblyBecause("a read-ahead block over 4 GiB");
    s.blockBytes = static_cast<std::uint32_t>(room / expansion);
    s.capacity = static_cast<std::uint32_t>(room);
    const std::uint64_t stride = (room + 63) & ~std::uint64_t{63};
    s.blocks.resize(std::max<std::uint32_t>(blocks, 2));
    for (Shared::Block& b : s.blocks) {
        b.memory.reset(new std::uint8_t[stride * channels + 64]);
        std::uint8_t* base = b.memory.get();
        base += (64 - reinterpret_cast<std::uintptr_t>(base) % 64) % 64;
        b.set.resize(channels);
        for (std::uint32_t i = 0; i < channels; ++i) b.set[i] = base + i * stride;
        s.free.push_back(&b);
    }
}

ReadAhead::~ReadAhead() {
    // The upstream is dropped with the stage: a read the task waits in may fail.
    if (launched_ && shared_->cancel) shared_->cancel->fire();
    stopTask();
}

void ReadAhead::stopTask() {
    if (!launched_) return;
    Shared& s = *shared_;
    std::unique_lock l(s.lock);
    s.stop = true;
    s.changed.notify_all();
    s.changed.wait(l, [&] { return s.task != Shared::Task::Running; });
    // A task not yet started never will touch the upstream: its generation is past.
    ++s.generation;
    s.stop = false;
    s.readDone = false;
    s.yielded = false;
    s.task = Shared::Task::None;
    launched_ = false;
}

void ReadAhead::seek(std::uint64_t p) {
    stopTask();
    Shared& s = *shared_;
    {
        std::lock_guard l(s.lock);
        for (Shared::Block* b : s.full) s.free.push_back(b);
        s.full.clear();
        s.error = nullptr;
    }
    offset_ = 0;
    passThrough_ = false;
    retryIn_ = 0;
    upstream->seek(p);
    upstream->position = static_cast<std::int64_t>(p);
}

bool ReadAhead::ended() const {
    return upstream->length >= 0 && upstream->position >= upstream->length;
}

bool ReadAhead::visit(const VisitFn& fn, int depth) {
    if (launched_ || retryIn_ > 0) {
        stopTask();
        passThrough_ = true;
    }
    return Consumer::visit(fn, depth);
}

VBlock ReadAhead::read(VSlice dest, std::uint32_t capacity) {
    if (dest.end < dest.begin || !dest.channels || dest.channels->count() < channels)
        throw Wobbly{};
    Shared& s = *shared_;
    const std::uint32_t want = dest.length();

    if (!launched_ && !passThrough_ && retryIn_ > 0) {
        --retryIn_;
    } else if (!launched_ && !passThrough_ && !ended()) {
        {
            std::lock_guard l(s.lock);
            s.task = Shared::Task::Waiting;
        }
        const std::shared_ptr<Shared> shared = shared_;
        const std::uint64_t g = s.generation;
        bool started = false;
        try {
            started = launch_.launch([shared, g] { shared->run(g); });
        } catch (...) {
        }
        launched_ = true;
        if (!started) {
            stopTask();
            retryIn_ = kRetryReads;
        }
    }

    std::uint32_t filled = 0;
    ChannelMask silent = kAllSilent;
    bool ended = false;  // the content ended inside this read
    std::unique_lock l(s.lock);
    while (filled < want && !ended) {
        if (!s.full.empty()) {
            Shared::Block* b = s.full.front();
            const std::uint32_t n = std::min(b->length - offset_, want - filled);
            l.unlock();
            for (std::uint32_t i = 0; i < channels; ++i) {
                std::uint8_t* to = (*dest.channels)[i] + dest.begin + filled;
                if (b->silent.test(i))
                    std::memset(to, 0, n);
                else
                    std::memcpy(to, b->set[i] + offset_, n);
            }
            silent &= b->silent;
            if (length < 0 && b->upstreamLength >= 0) length = b->upstreamLength;
            everSplit_ = true;
            l.lock();
            offset_ += n;
            filled += n;
            if (offset_ == b->length) {
                s.full.pop_front();
                s.free.push_back(b);
                offset_ = 0;
                s.changed.notify_all();
                ended = b->shortBlock;
            }
            continue;
        }
        if (s.error) std::rethrow_exception(s.error);
        if (!launched_ || passThrough_) break;
        if (s.readDone) {
            if (s.yielded) {
                // Asked again later; the reads pass through meanwhile.
                l.unlock();
                stopTask();
                retryIn_ = kRetryReads;
                l.lock();
            } else {
                passThrough_ = true;
            }
            break;
        }
        if (s.task == Shared::Task::Running) {
            if (s.side && s.side->pending()) {
                // The task is behind, or held in a read by an idle producer: this thread,
                // waiting for it anyway, does the work it was given besides (the output's
                // writes), which would otherwise wait for the producer; a step that failed
                // ends the read.
                l.unlock();
                s.side->step();
                if (const std::exception_ptr failed = s.side->failure())
                    std::rethrow_exception(failed);
                l.lock();
                continue;
            }
            const std::size_t half = s.blocks.size() / 2;
            s.changed.wait_for(l, kGatherLimit, [&] {
                return s.full.size() >= half || s.readDone || s.error ||
                       s.task != Shared::Task::Running || (s.side && s.side->pending());
            });
            continue;
        }
        // Launched, not started yet.
        if (!s.changed.wait_for(l, kStartLimit, [&] { return s.task != Shared::Task::Waiting; })) {
            l.unlock();
            stopTask();
            passThrough_ = true;
            l.lock();
        }
    }
    l.unlock();

    if (filled == want || ended)
        return VBlock{dest.channels, dest.begin, dest.begin + filled, silent, silent};

    // The rest straight from the upstream, on this thread.
    const std::uint32_t rest = want - filled;
    const std::uint32_t lent = capacity > filled ? capacity - filled : 0;
    VBlock vb = upstream->read(VSlice{dest.channels, dest.begin + filled, dest.end}, lent);
    advance(*upstream, vb);
    inheritLength(*upstream);
    if (filled == 0) return vb;
    const std::uint32_t got = std::min(vb.length(), rest);
    const Channels& src = vb.channels ? *vb.channels : *dest.channels;
    for (std::uint32_t i = 0; i < channels; ++i) {
        std::uint8_t* to = (*dest.channels)[i] + dest.begin + filled;
        if (vb.silentMask.test(i) || got == 0) {
            std::memset(to, 0, got);
            continue;
        }
        const std::uint8_t* from = src[i] + vb.begin;
        if (from != to) std::memmove(to, from, got);
    }
    silent &= got == 0 ? kAllSilent : vb.silentMask;
    return VBlock{dest.channels, dest.begin, dest.begin + filled + got, silent, silent};
}

Wrapper<iVOver> readAhead(Wrapper<iVOver> upstream, Launcher launch) {
    if (!launch) return upstream;
    const std::uint32_t perChannel =
        std::max(kDefaultBlockBytes / std::max<std::uint32_t>(upstream ? upstream->channels : 1, 1),
                 kLeastChannelBytes);
    if (upstream &&
        blockRoom(*upstream, perChannel) * upstream->channels * kDefaultBlocks > kMostBlockMemory)
        return upstream;
    return Wrapper<iVOver>(
        new ReadAhead(std::move(upstream), std::move(launch), perChannel, kDefaultBlocks));
}

}  // namespace Stream
