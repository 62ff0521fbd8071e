#include "threads/Syncable.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/Wobbly.h"
#include "threads/Kernel.h"

namespace Threads {

using detail::HandleAccess;
using detail::Kind;
using detail::Object;

namespace {

Handle NewObject(Kind kind, std::int64_t count, std::int64_t maximum) {
    auto o = std::make_shared<Object>(kind);
    o->count = count;
    o->maximum = maximum;
    return HandleAccess::Make(std::move(o), Access::All);
}

// The object behind `h` if the handle may change its state, else null.
Object* Modifiable(const Handle& h) {
    if (!(h.access() & Access::ModifyState)) return nullptr;
    return detail::Resolve(h).get();
}

bool WaitOne(Syncable& s, std::uint32_t milliseconds) {
    const Handle* h = &s.handle();
    if (detail::WaitHandles(std::span(&h, 1), false, milliseconds) != 0) return false;
    s.OnAcquired();
    return true;
}

std::vector<const Handle*> HandlesOf(std::span<Syncable* const> list) {
    std::vector<const Handle*> handles;
    handles.reserve(list.size());
    for (Syncable* s : list) handles.push_back(s ? &s->handle() : nullptr);
    return handles;
}

}  // namespace

// Both live until the process ends: threads may use them during exit.
Handle Handle::CurrentThread() {
    static const auto* h = new Handle(NewObject(Kind::CurrentThread, 0, 0));
    return *h;
}

Handle Handle::CurrentProcess() {
    static const auto* h = new Handle(NewObject(Kind::Process, 0, 0));
    return *h;
}

Syncable::Syncable(Syncable&& o) noexcept
    : handle_(std::move(o.handle_)), rights_(std::exchange(o.rights_, 0)) {}

Syncable& Syncable::operator=(Syncable&& o) noexcept {
    if (this != &o) {
        handle_ = std::move(o.handle_);
        rights_ = std::exchange(o.rights_, 0);
    }
    return *this;
}

bool Syncable::TryWait() {
    return WaitOne(*this, 0);
}

bool Syncable::Wait(std::uint32_t milliseconds) {
    if (milliseconds == Infinite && IsSelf()) throw WouldDeadlock{};
    return WaitOne(*this, milliseconds);
}

bool Syncable::IsSelf() const {
    return false;
}

std::uint32_t Syncable::DefaultRights() const {
    throw Wobbly{};
}

void Syncable::OnAcquired() {}

std::uint32_t Syncable::AccessMask(std::uint32_t) const {
    return 0;
}

Semaphore::Semaphore()
    : Syncable(NewObject(Kind::Semaphore, 0, Maximum), RightWait | RightModify) {}

bool Semaphore::Release(std::int32_t count) {
    Object* o = Modifiable(handle_);
    return o && detail::ReleaseSemaphore(*o, count);
}

std::uint32_t Semaphore::AccessMask(std::uint32_t rights) const {
    return (rights & RightWait ? Access::Synchronize : 0) |
           (rights & RightModify ? Access::ModifyState : 0);
}

Event::Event(bool manualReset, bool initialState)
    : Syncable(
          NewObject(manualReset ? Kind::ManualEvent : Kind::AutoEvent, initialState ? 1 : 0, 1),
          RightWait | RightModify) {}

bool Event::Set() {
    Object* o = Modifiable(handle_);
    return o && detail::SetEvent(*o);
}

bool Event::Reset() {
    Object* o = Modifiable(handle_);
    return o && detail::ResetEvent(*o);
}

std::uint32_t Event::AccessMask(std::uint32_t rights) const {
    return (rights & RightWait ? Access::Synchronize : 0) |
           (rights & RightModify ? Access::ModifyState : 0);
}

int WaitAny(std::span<Syncable* const> list) {
    if (std::all_of(list.begin(), list.end(), [](Syncable* s) { return s && s->IsSelf(); }))
        throw WouldDeadlock{};  // also for an empty list
    int r = detail::WaitHandles(HandlesOf(list), false, Infinite);
    if (r < 0) return -1;
    list[static_cast<std::size_t>(r)]->OnAcquired();
    return r;
}

int WaitAll(std::span<Syncable* const> list, std::uint32_t milliseconds) {
    int r = detail::WaitHandles(HandlesOf(list), true, milliseconds);
    if (r < 0) return -1;
    for (Syncable* s : list) s->OnAcquired();
    return r;
}

Handle CloneHandle(const Syncable& syncable, std::uint32_t rights) {
    syncable.DefaultRights();  // a Syncable of no particular kind throws here
    const Handle& h = syncable.handle();
    if (h.SameObject(Handle::CurrentProcess())) return h;
    const std::shared_ptr<Object>& o = detail::Resolve(h);
    if (!o) throw CannotCloneHandle{};
    return HandleAccess::Make(o, syncable.AccessMask(rights));
}

}  // namespace Threads
