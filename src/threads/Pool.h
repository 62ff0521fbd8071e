#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace Threads {

// Runs closures on worker threads, queue 0 first, then 1, 2, 3; first in, first out within a
// queue.
//
// A task's priority picks its queue (0 -> 0, 1 -> 1, 3 -> 3, any other -> 2) and is also the
// thread priority level (PriorityLevel) its worker runs it at; the level is not reset afterwards.
// Workers are managed threads named "Threads::Pool worker" (Manager::StartThread), so a pool is
// made, and grows, on the main thread only. Each submitted task releases one count of the
// wake-up semaphore, which wakes at most one idle worker; idle workers block and use no CPU.
// A task that throws is discarded silently and leaves its worker running.
//
// A worker finishes its current task and ends when its stop signal is set (Manager::StopAll,
// at process exit) or when its pool is destroyed. Submit may be called from any thread (with
// grow set, only where a worker may be started).
class Pool {
public:
    // max(2, hardware threads), fixed at start-up.
    static std::uint32_t DefaultWorkerCount();
    // The process-wide pool of DefaultWorkerCount() workers, made on the first call, which must
    // come from the main thread (Manager::IllegalCallingThread otherwise). Destroyed at exit.
    static Pool& Instance();

    // Starts `workers` workers. Throws std::invalid_argument for 0, and what AddWorker throws.
    explicit Pool(std::uint32_t workers);
    // Lets the workers finish their current tasks and end, waiting at most 5000 ms for them;
    // tasks still queued are destroyed without running.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Queues `closure` (an empty one is discarded when its turn comes). `grow` marks a task that
    // may block for long: while it is unfinished the pool keeps one extra worker for it,
    // starting one when fewer than the initial count plus such tasks exist.
    void Submit(std::int32_t priority, bool grow, std::function<void()> closure);

    // Queues `closure` ahead of the tasks queued at its priority, as Submit does without `grow`, if
    // a worker is idle that no queued task has been promised to; it then runs as soon as a worker
    // looks for work. False, nothing queued, when every worker is busy or has a queued task
    // waiting.
    bool SubmitToIdle(std::int32_t priority, std::function<void()> closure);

    // Starts one more worker. Throws Manager::IllegalCallingThread off the main thread,
    // std::system_error if no thread can be made.
    void AddWorker();

    // Workers started so far.
    std::uint32_t Workers() const;
    // Workers waiting for a task.
    std::uint32_t Idle() const;
    // Tasks queued and not yet taken by a worker.
    std::uint32_t Queued() const;
    // Tasks submitted with `grow` that have not finished.
    std::uint32_t Blocking() const;

private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the workers, which may outlive the pool
};

}  // namespace Threads
