#pragma once

// Inside of the threads library: the objects behind Handles and the waits on them.
//
// Every object's state is guarded by one process-wide lock. A blocked wait is a Waiter listed
// on each object it waits for; whoever signals an object satisfies the listed waiters in
// arrival order while the object stays signalled, taking on their behalf what they take (a
// semaphore count, an automatic-reset event), and wakes only those. So one release of a
// semaphore wakes exactly one waiter, and a wait on several objects takes them atomically.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "threads/Syncable.h"

namespace Threads::detail {

enum class Kind : std::uint8_t {
    Semaphore,
    ManualEvent,
    AutoEvent,
    Thread,
    Process,
    CurrentThread,  // the pseudo-handle's object; stands for the calling thread's Thread object
};

struct Waiter;

struct Object {
    explicit Object(Kind k) : kind(k) {}

    const Kind kind;
    // Thread or process identifier; written once, before the object is shared.
    std::atomic<std::uint32_t> id{0};

    // Guarded by KernelLock().
    std::int64_t count = 0;    // semaphore count; 1 or 0 (signalled or not) for the others
    std::int64_t maximum = 1;  // semaphores only
    std::uint32_t exitCode = 259;
    std::vector<Waiter*> waiters;  // blocked waits that include this object, oldest first
};

struct HandleAccess {
    static Handle Make(std::shared_ptr<Object> object, std::uint32_t access) {
        return Handle(std::move(object), access);
    }
    static const std::shared_ptr<Object>& Get(const Handle& h) { return h.object_; }
};

std::mutex& KernelLock();

// The calling thread's Thread object, made on first use; it is signalled when the thread ends.
// Null once the thread's thread-locals have been destroyed.
const std::shared_ptr<Object>& CurrentThreadObject();
// Makes `object` the calling thread's Thread object (first thing a started thread does), sets its
// id and wakes whoever waits for that id.
void AdoptCurrentThread(std::shared_ptr<Object> object);
// Waits until a started thread has adopted `object`.
void AwaitThreadId(const Object& object);
// Exit code the calling thread's object gets when the thread ends.
void SetCurrentExitCode(std::uint32_t code);

// The object a handle stands for: the pseudo-handle resolves to the calling thread's object.
// Null for an empty handle.
const std::shared_ptr<Object>& Resolve(const Handle& h);

inline constexpr int TimedOut = -1;
inline constexpr int Failed = -2;

// Waits for any (all = false) or all of `handles`. Returns the index taken (0 when all were
// taken), TimedOut, or Failed for an empty handle, a handle without wait access, or (all) the
// same object twice.
int WaitHandles(std::span<const Handle* const> handles, bool all, std::uint32_t milliseconds);

// State changes; false if the object is of another kind or the count would overflow.
bool SetEvent(Object& o);
bool ResetEvent(Object& o);
bool ReleaseSemaphore(Object& o, std::int32_t count);
// True if a thread or process object has ended; its exit code in `code`.
bool Ended(const Object& o, std::uint32_t& code);

}  // namespace Threads::detail
