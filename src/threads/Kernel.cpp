#include "threads/Kernel.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace Threads::detail {

struct Waiter {
    std::condition_variable cv;
    std::span<Object* const> objects;
    bool all = false;
    int result = TimedOut;
    bool done = false;  // satisfied by a signaller, `result` set
};

namespace {

// Thread-local owner of the calling thread's object; its destruction at thread end marks the
// object ended. A started thread makes it first, so it is destroyed after its other
// thread-locals.
struct ThreadSlot {
    std::shared_ptr<Object> object;
    std::uint32_t exitCode = 0;
    ~ThreadSlot();
};
thread_local ThreadSlot slot;
// Set when `slot` is destroyed. Trivially destructible, so it can still be read afterwards (the
// thread that calls exit() destroys its thread-locals before the exit handlers run).
thread_local bool slotGone = false;

// Never destroyed: threads may still signal while the process runs its exit handlers.
std::condition_variable& StartedSignal() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

bool Signalled(const Object& o) {
    return o.count > 0;
}

void Take(Object& o) {
    if (o.kind == Kind::Semaphore)
        --o.count;
    else if (o.kind == Kind::AutoEvent)
        o.count = 0;
}

// Under the lock: takes what satisfies the wait, returns the index (0 for all), or TimedOut.
int TryTake(std::span<Object* const> objects, bool all) {
    if (!all) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (Signalled(*objects[i])) {
                Take(*objects[i]);
                return static_cast<int>(i);
            }
        }
        return TimedOut;
    }
    for (Object* o : objects)
        if (!Signalled(*o)) return TimedOut;
    for (Object* o : objects) Take(*o);
    return 0;
}

void Unlist(Waiter& w) {
    for (Object* o : w.objects) std::erase(o->waiters, &w);
}

// Under the lock, after `o` became signalled: satisfies listed waiters, oldest first, while `o`
// stays signalled. The notify happens under the lock, so the waiter's stack frame still exists.
void Wake(Object& o) {
    std::size_t i = 0;
    while (i < o.waiters.size() && Signalled(o)) {
        Waiter* w = o.waiters[i];
        int r = TryTake(w->objects, w->all);
        if (r == TimedOut) {
            ++i;
            continue;
        }
        w->result = r;
        w->done = true;
        Unlist(*w);  // removes o.waiters[i]
        w->cv.notify_one();
    }
}

int WaitObjects(std::span<Object* const> objects, bool all, std::uint32_t milliseconds) {
    std::unique_lock lock(KernelLock());
    int r = TryTake(objects, all);
    if (r != TimedOut || milliseconds == 0) return r;

    Waiter w;
    w.objects = objects;
    w.all = all;
    for (Object* o : objects)
        if (std::find(o->waiters.begin(), o->waiters.end(), &w) == o->waiters.end())
            o->waiters.push_back(&w);

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!w.done) {
        if (milliseconds == Infinite)
            w.cv.wait(lock);
        else if (w.cv.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    if (!w.done) {
        Unlist(w);
        return TimedOut;
    }
    return w.result;
}

}  // namespace

ThreadSlot::~ThreadSlot() {
    slotGone = true;
    if (!object) return;
    std::lock_guard lock(KernelLock());
    object->exitCode = exitCode;
    object->count = 1;
    Wake(*object);
}

std::mutex& KernelLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

const std::shared_ptr<Object>& CurrentThreadObject() {
    static const auto* none = new std::shared_ptr<Object>;
    if (slotGone) return *none;
    if (!slot.object) {
        auto o = std::make_shared<Object>(Kind::Thread);
        o->id = static_cast<std::uint32_t>(gettid());
        slot.object = std::move(o);
    }
    return slot.object;
}

void AdoptCurrentThread(std::shared_ptr<Object> object) {
    std::lock_guard lock(KernelLock());
    object->id = static_cast<std::uint32_t>(gettid());
    slot.object = std::move(object);
    StartedSignal().notify_all();
}

void AwaitThreadId(const Object& object) {
    std::unique_lock lock(KernelLock());
    StartedSignal().wait(lock, [&] { return object.id != 0; });
}

void SetCurrentExitCode(std::uint32_t code) {
    CurrentThreadObject();
    slot.exitCode = code;
}

const std::shared_ptr<Object>& Resolve(const Handle& h) {
    const std::shared_ptr<Object>& o = HandleAccess::Get(h);
    if (o && o->kind == Kind::CurrentThread) return CurrentThreadObject();
    return o;
}

int WaitHandles(std::span<const Handle* const> handles, bool all, std::uint32_t milliseconds) {
    if (handles.empty()) return Failed;
    std::vector<Object*> objects;
    objects.reserve(handles.size());
    for (const Handle* h : handles) {
        if (!h || !(h->access() & Access::Synchronize)) return Failed;
        Object* o = Resolve(*h).get();
        if (!o) return Failed;
        objects.push_back(o);
    }
    if (all) {
        std::vector<Object*> sorted = objects;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return Failed;
    }
    return WaitObjects(objects, all, milliseconds);
}

bool SetEvent(Object& o) {
    if (o.kind != Kind::ManualEvent && o.kind != Kind::AutoEvent) return false;
    std::lock_guard lock(KernelLock());
    o.count = 1;
    Wake(o);
    return true;
}

bool ResetEvent(Object& o) {
    if (o.kind != Kind::ManualEvent && o.kind != Kind::AutoEvent) return false;
    std::lock_guard lock(KernelLock());
    o.count = 0;
    return true;
}

bool ReleaseSemaphore(Object& o, std::int32_t count) {
    if (o.kind != Kind::Semaphore || count <= 0) return false;
    std::lock_guard lock(KernelLock());
    if (o.count + count > o.maximum) return false;
    o.count += count;
    Wake(o);
    return true;
}

bool Ended(const Object& o, std::uint32_t& code) {
    std::lock_guard lock(KernelLock());
    code = o.exitCode;
    return (o.kind == Kind::Thread || o.kind == Kind::Process) && Signalled(o);
}

}  // namespace Threads::detail
