#include "threads/Manager.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace Threads {

namespace {

std::uint32_t MainThreadId() {
    static const auto id = static_cast<std::uint32_t>(gettid());
    return id;
}
// Fixes the main thread during static initialisation.
[[maybe_unused]] const std::uint32_t mainThreadAtStart = MainThreadId();

thread_local std::optional<Event> stopSignal;

void StopAllAtExit() {
    try {
        Manager::Instance().StopAll();
    } catch (...) {
    }
}

}  // namespace

Event* StopSignal() {
    return stopSignal ? &*stopSignal : nullptr;
}

Manager& Manager::Instance() {
    static Manager* manager = [] {
        auto* m = new Manager;
        std::atexit(StopAllAtExit);
        return m;
    }();
    return *manager;
}

bool Manager::IsMainThread() {
    return static_cast<std::uint32_t>(gettid()) == MainThreadId();
}

std::uint32_t Manager::StartThread(std::function<void()> closure, const std::string& name) {
    if (!IsMainThread()) throw IllegalCallingThread{};
    auto registered = std::make_shared<Event>(true, false);
    Thread thread = Thread::Start(
        [this, registered, closure = std::move(closure)] {
            bool ok = true;
            try {
                RegisterCurrentThread();
            } catch (...) {
                ok = false;
            }
            registered->Set();
            if (!ok) return;
            try {
                closure();
            } catch (...) {
            }
        },
        name);
    registered->Wait(Infinite);
    const std::uint32_t id = thread.ThreadId();
    std::lock_guard lock(lock_);
    return threads_.count(id) ? id : 0;
}

Event Manager::RegisterCurrentThread() {
    Thread self(CloneHandle(Thread::Current(), RightWait), RightWait);
    const std::uint32_t id = self.ThreadId();
    std::lock_guard lock(lock_);
    auto it = threads_.find(id);
    // An existing record of another thread is one that ended and whose identifier came back.
    if (it == threads_.end() || !it->second.thread.IsSelf())
        it = threads_.insert_or_assign(id, Record{Event(true, stopped_), std::move(self)}).first;
    const Event& stop = it->second.stop;
    if (!stopSignal)
        stopSignal.emplace(CloneHandle(stop, stop.DefaultRights()), stop.DefaultRights());
    return Event(CloneHandle(stop, stop.DefaultRights()), stop.DefaultRights());
}

void Manager::StopAll() {
    std::map<std::uint32_t, Record> records;
    {
        std::lock_guard lock(lock_);
        stopped_ = true;
        records.swap(threads_);
    }
    std::vector<Syncable*> others;
    for (auto& [id, record] : records) {
        record.stop.Set();
        if (!record.thread.IsSelf()) others.push_back(&record.thread);
    }
    if (!others.empty()) WaitAll(others);
}

}  // namespace Threads
