#pragma once

// Threads and processes as waitable objects: signalled once they have ended.

#include <cstdint>
#include <functional>
#include <string>

#include "threads/Syncable.h"

namespace Threads {

// Thread priority levels (Thread::SetPriority, pool task priorities). Any other value is Normal.
//
// On Linux a level is a nice value of that one thread, relative to the process's nice value at
// start-up (`base`): Idle 19, BelowNormal base+5, Normal base, AboveNormal base-5,
// TimeCritical -20, clamped to [-20, 19]. Without the privilege to lower a nice value, a raise
// fails quietly and the thread stays at its current value.
enum PriorityLevel : std::int32_t {
    PriorityIdle = 0,
    PriorityBelowNormal = 1,
    PriorityNormal = 2,
    PriorityAboveNormal = 3,
    PriorityTimeCritical = 4,
};
// The nice value a level stands for.
int NiceValue(std::int32_t level);

// Exit code of a thread or process that has not ended.
inline constexpr std::uint32_t StillActive = 259;

class Runnable : public Syncable {
public:
    using Syncable::Syncable;

    virtual std::uint32_t ProcessId() const = 0;
    // Waits for the end and returns the exit code. Throws WouldDeadlock on oneself, Wobbly if the
    // handle cannot be waited on.
    virtual std::uint32_t Join() = 0;
};

class Thread : public Runnable {
public:
    Thread() = default;
    Thread(Handle handle, std::uint32_t rights) : Runnable(std::move(handle), rights) {}

    // Runs `closure` on a new thread named `name` (cut to 15 bytes; none if empty) at normal
    // priority and returns a handle to it (rights RightWait). The thread's exit code is 0, or 1
    // if the closure threw (the exception goes no further). Throws std::system_error
    // (resource_unavailable_try_again) if no thread can be created.
    static Thread Start(std::function<void()> closure, std::string name);

    // The calling thread's object: the pseudo-handle, rights RightWait. Thread-local.
    static Thread& Current();

    bool IsSelf() const override;
    std::uint32_t DefaultRights() const override { return RightWait; }
    std::uint32_t AccessMask(std::uint32_t rights) const override;
    std::uint32_t ProcessId() const override;
    std::uint32_t Join() override;

    // The operating system's thread identifier, 0 for an empty handle.
    std::uint32_t ThreadId() const;
    // Sets the thread's priority from a PriorityLevel. False if refused (no right to raise, no
    // access, thread ended).
    bool SetPriority(std::int32_t level);
};

class Process : public Runnable {
public:
    Process(Handle handle, std::uint32_t rights) : Runnable(std::move(handle), rights) {}

    // This process: its handle, rights RightDuplicate | RightWait. Lives until the process ends.
    static Process& Current();

    bool IsSelf() const override;
    std::uint32_t DefaultRights() const override { return RightDuplicate | RightWait; }
    std::uint32_t AccessMask(std::uint32_t rights) const override;
    std::uint32_t ProcessId() const override;
    std::uint32_t Join() override;
};

}  // namespace Threads
