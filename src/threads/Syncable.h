#pragma once

// Waitable objects: semaphores, events, threads and processes behind one interface for timed
// and untimed waits, with waits on several objects at once.
//
// The objects live inside this process (no kernel objects are used) and behave as follows:
// - a semaphore is signalled while its count is above 0; a satisfied wait takes one count;
// - a manual-reset event stays signalled until Reset; an automatic-reset event is cleared by the
//   one wait it satisfies;
// - a thread or process object becomes signalled when it ends and stays signalled.
// A Handle is a reference to one such object (or the pseudo-handle "the calling thread"), with
// the access it grants. Handles to one object share its state; the object lives while any
// handle to it exists. Times are milliseconds; Infinite means no limit.
//
// All operations may be called from any thread. A Syncable object itself (its handle field) is
// not synchronised: one thread at a time changes or moves it.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

namespace Threads {

// Thrown instead of blocking forever in a wait that could never end (waiting without limit on the
// calling thread or process, or on nothing).
struct WouldDeadlock {};
// Thrown when a handle cannot be duplicated (an empty handle).
struct CannotCloneHandle {};

inline constexpr std::uint32_t Infinite = 0xFFFFFFFF;

// `rights` flags of a Syncable.
inline constexpr std::uint32_t RightDuplicate = 1;  // duplicate handles (processes)
inline constexpr std::uint32_t RightWait = 2;       // wait on the object
inline constexpr std::uint32_t RightModify = 4;     // change its state (set, reset, release)

// Access bits a handle carries; AccessMask turns rights into them.
namespace Access {
inline constexpr std::uint32_t Synchronize = 0x100000;       // may be waited on
inline constexpr std::uint32_t ModifyState = 0x2;            // events and semaphores: set, release
inline constexpr std::uint32_t ThreadSetInformation = 0x20;  // threads: priority
inline constexpr std::uint32_t ThreadSetLimitedInformation = 0x400;
inline constexpr std::uint32_t ThreadQueryLimitedInformation = 0x800;
inline constexpr std::uint32_t ProcessDupHandle = 0x40;
inline constexpr std::uint32_t ProcessQueryLimitedInformation = 0x1000;
inline constexpr std::uint32_t All = 0x1FFFFF;
}  // namespace Access

namespace detail {
struct Object;
struct HandleAccess;
}  // namespace detail

// Reference to a waitable object; empty by default. Copying shares the object.
class Handle {
public:
    Handle() = default;
    Handle(const Handle&) = default;
    Handle& operator=(const Handle&) = default;
    Handle(Handle&& o) noexcept : object_(std::move(o.object_)), access_(o.access_) {
        o.access_ = 0;
    }
    Handle& operator=(Handle&& o) noexcept {
        object_ = std::move(o.object_);
        access_ = o.access_;
        o.access_ = 0;
        return *this;
    }

    explicit operator bool() const { return object_ != nullptr; }
    std::uint32_t access() const { return access_; }
    // True if both refer to the same object (the pseudo-handle is one object of its own).
    bool SameObject(const Handle& o) const { return object_ == o.object_; }

    // The pseudo-handle that means whichever thread uses it.
    static Handle CurrentThread();
    // The handle of this process (never signalled while anyone can wait on it).
    static Handle CurrentProcess();

private:
    friend struct detail::HandleAccess;
    Handle(std::shared_ptr<detail::Object> object, std::uint32_t access)
        : object_(std::move(object)), access_(access) {}

    std::shared_ptr<detail::Object> object_;
    std::uint32_t access_ = 0;
};

class iSyncable {
public:
    virtual ~iSyncable() = default;
    // Takes the object if it is signalled now (see OnAcquired); never blocks.
    virtual bool TryWait() = 0;
    // Waits at most `milliseconds` (Infinite: no limit) until the object is signalled and takes
    // it. False on time-out or if the handle cannot be waited on.
    virtual bool Wait(std::uint32_t milliseconds) = 0;
};

// Owner of one handle. Moving transfers the handle and leaves the source empty.
class Syncable : public iSyncable {
public:
    Syncable() = default;
    Syncable(Handle handle, std::uint32_t rights) : handle_(std::move(handle)), rights_(rights) {}
    Syncable(Syncable&& o) noexcept;
    Syncable& operator=(Syncable&& o) noexcept;
    Syncable(const Syncable&) = delete;
    Syncable& operator=(const Syncable&) = delete;
    ~Syncable() override = default;

    bool TryWait() override;
    // Throws WouldDeadlock for an Infinite wait on the calling thread or process.
    bool Wait(std::uint32_t milliseconds) override;
    // True if the handle is the calling thread or the current process.
    virtual bool IsSelf() const;
    // Rights a duplicate gets by default; the base class has none and throws Wobbly.
    virtual std::uint32_t DefaultRights() const;
    // Called after a wait took this object.
    virtual void OnAcquired();
    // The handle access that `rights` stand for.
    virtual std::uint32_t AccessMask(std::uint32_t rights) const;

    const Handle& handle() const { return handle_; }
    std::uint32_t rights() const { return rights_; }

protected:
    Handle handle_;
    std::uint32_t rights_ = 0;
};

// Counting semaphore: count 0 at creation, at most 0x7FFFFFFF.
class Semaphore : public Syncable {
public:
    static constexpr std::int32_t Maximum = 0x7FFFFFFF;

    Semaphore();
    Semaphore(Handle handle, std::uint32_t rights) : Syncable(std::move(handle), rights) {}

    // Adds `count` (> 0). False, count unchanged, if that would pass Maximum, if count <= 0 or if
    // the handle may not change state.
    bool Release(std::int32_t count = 1);

    std::uint32_t DefaultRights() const override { return RightWait | RightModify; }
    std::uint32_t AccessMask(std::uint32_t rights) const override;
};

class Event : public Syncable {
public:
    Event(bool manualReset, bool initialState);
    Event(Handle handle, std::uint32_t rights) : Syncable(std::move(handle), rights) {}

    // False if the handle is not an event or may not change state.
    bool Set();
    bool Reset();

    std::uint32_t DefaultRights() const override { return RightWait | RightModify; }
    std::uint32_t AccessMask(std::uint32_t rights) const override;
};

// Index of the first signalled member after waiting without limit for any one of them; takes
// only that member. -1 if a member cannot be waited on (empty handle, no wait access, null).
// Throws WouldDeadlock for an empty list or one whose every member IsSelf.
int WaitAny(std::span<Syncable* const> list);
inline int WaitAny(std::initializer_list<Syncable*> list) {
    return WaitAny(std::span<Syncable* const>(list.begin(), list.size()));
}

// Waits until every member is signalled at the same moment, then takes all of them together;
// returns 0. -1 after `milliseconds` (default 5000), for an empty list, a member that cannot be
// waited on, or the same object twice; then nothing is taken.
inline constexpr std::uint32_t WaitAllLimit = 5000;
int WaitAll(std::span<Syncable* const> list, std::uint32_t milliseconds = WaitAllLimit);
inline int WaitAll(std::initializer_list<Syncable*> list,
                   std::uint32_t milliseconds = WaitAllLimit) {
    return WaitAll(std::span<Syncable* const>(list.begin(), list.size()), milliseconds);
}

// A new handle to the same object with the access of `rights` (syncable.AccessMask). The
// pseudo-handle of the calling thread becomes a real handle to that thread. The current
// process's handle comes back unchanged. Throws Wobbly for a base Syncable (see DefaultRights),
// CannotCloneHandle for an empty handle.
Handle CloneHandle(const Syncable& syncable, std::uint32_t rights);

}  // namespace Threads
