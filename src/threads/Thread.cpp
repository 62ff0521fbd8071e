#include "threads/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <thread>

#include "base/Wobbly.h"
#include "threads/Kernel.h"

namespace Threads {

using detail::HandleAccess;
using detail::Kind;
using detail::Object;

namespace {

// Nice value of the thread that runs static initialisation: what "normal" means.
const int baseNice = [] {
    errno = 0;
    int n = getpriority(PRIO_PROCESS, 0);
    return errno ? 0 : n;
}();

struct StartBlock {
    std::string name;
    std::int32_t priority;
    std::function<void()> closure;
    std::shared_ptr<Object> object;
};

void Entry(StartBlock* raw) {
    std::unique_ptr<StartBlock> block(raw);
    detail::AdoptCurrentThread(block->object);
    if (!block->name.empty()) pthread_setname_np(pthread_self(), block->name.substr(0, 15).c_str());
    Thread::Current().SetPriority(block->priority);
    std::uint32_t code = 0;
    try {
        block->closure();
    } catch (...) {
        code = 1;
    }
    detail::SetCurrentExitCode(code);
    block.reset();
}

// Waits for the end of `r` and returns its exit code.
std::uint32_t JoinRunnable(Runnable& r) {
    if (r.IsSelf()) throw WouldDeadlock{};
    const std::shared_ptr<Object>& o = detail::Resolve(r.handle());
    std::uint32_t code = StillActive;
    if (!r.Wait(Infinite) || !detail::Ended(*o, code)) throw Wobbly{};
    return code;
}

}  // namespace

int NiceValue(std::int32_t level) {
    switch (level) {
        case PriorityIdle:
            return 19;
        case PriorityBelowNormal:
            return std::min(baseNice + 5, 19);
        case PriorityAboveNormal:
            return std::max(baseNice - 5, -20);
        case PriorityTimeCritical:
            return -20;
        default:
            return baseNice;
    }
}

Thread Thread::Start(std::function<void()> closure, std::string name) {
    auto object = std::make_shared<Object>(Kind::Thread);
    auto block = std::make_unique<StartBlock>(
        StartBlock{std::move(name), PriorityNormal, std::move(closure), object});
    std::thread thread(Entry, block.get());  // std::system_error if no thread can be made
    block.release();                         // now owned by the new thread
    thread.detach();
    detail::AwaitThreadId(*object);
    Thread started(HandleAccess::Make(std::move(object), Access::All), RightWait);
    return Thread(CloneHandle(started, RightWait), RightWait);
}

Thread& Thread::Current() {
    thread_local Thread current(Handle::CurrentThread(), RightWait);
    return current;
}

bool Thread::IsSelf() const {
    const std::shared_ptr<Object>& o = detail::Resolve(handle_);
    return o && o == detail::CurrentThreadObject();
}

std::uint32_t Thread::AccessMask(std::uint32_t rights) const {
    return rights & RightWait ? Access::Synchronize | Access::ThreadQueryLimitedInformation
                              : Access::ThreadQueryLimitedInformation;
}

std::uint32_t Thread::ProcessId() const {
    const std::shared_ptr<Object>& o = detail::Resolve(handle_);
    return o && o->kind == Kind::Thread ? static_cast<std::uint32_t>(getpid()) : 0;
}

std::uint32_t Thread::Join() {
    return JoinRunnable(*this);
}

std::uint32_t Thread::ThreadId() const {
    const std::shared_ptr<Object>& o = detail::Resolve(handle_);
    return o && o->kind == Kind::Thread ? o->id.load() : 0;
}

bool Thread::SetPriority(std::int32_t level) {
    const std::shared_ptr<Object>& o = detail::Resolve(handle_);
    constexpr std::uint32_t setAccess =
        Access::ThreadSetInformation | Access::ThreadSetLimitedInformation;
    std::uint32_t code;
    if (!o || o->kind != Kind::Thread || !(handle_.access() & setAccess) || detail::Ended(*o, code))
        return false;
    const auto tid = static_cast<id_t>(o->id.load());
    const int nice = NiceValue(level);
    if (setpriority(PRIO_PROCESS, tid, nice) == 0) return true;
    // Raising needs a privilege; without it go no higher than normal.
    if (nice < baseNice) setpriority(PRIO_PROCESS, tid, baseNice);
    return false;
}

Process& Process::Current() {
    static auto* current = new Process(Handle::CurrentProcess(), RightDuplicate | RightWait);
    return *current;
}

// Process objects exist only for this process.
bool Process::IsSelf() const {
    const std::shared_ptr<Object>& o = detail::Resolve(handle_);
    return o && o->kind == Kind::Process;
}

std::uint32_t Process::AccessMask(std::uint32_t rights) const {
    return Access::ProcessQueryLimitedInformation |
           (rights & RightDuplicate ? Access::ProcessDupHandle : 0) |
           (rights & RightWait ? Access::Synchronize : 0);
}

std::uint32_t Process::ProcessId() const {
    return IsSelf() ? static_cast<std::uint32_t>(getpid()) : 0;
}

std::uint32_t Process::Join() {
    return JoinRunnable(*this);
}

}  // namespace Threads
