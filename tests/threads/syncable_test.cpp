#include "threads/Syncable.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "base/Wobbly.h"
#include "threads/Lock.h"
#include "threads/Thread.h"

namespace {

using namespace Threads;

// Upper bound for waits that must succeed, so that a fault fails instead of hanging.
constexpr std::uint32_t kSafety = 20000;

TEST(Semaphore, CountsReleasesUpToTheMaximum) {
    Semaphore s;
    EXPECT_FALSE(s.TryWait());
    EXPECT_FALSE(s.Release(0));
    EXPECT_FALSE(s.Release(-3));
    EXPECT_TRUE(s.Release(2));
    EXPECT_TRUE(s.TryWait());
    EXPECT_TRUE(s.Wait(0));
    EXPECT_FALSE(s.TryWait());

    EXPECT_TRUE(s.Release(Semaphore::Maximum));
    EXPECT_FALSE(s.Release(1));  // past the maximum: refused, count unchanged
    EXPECT_TRUE(s.TryWait());
    EXPECT_TRUE(s.Release(1));
    EXPECT_FALSE(s.Release(1));
}

TEST(Event, ManualAndAutomaticReset) {
    Event manual(true, false);
    EXPECT_FALSE(manual.TryWait());
    EXPECT_TRUE(manual.Set());
    EXPECT_TRUE(manual.TryWait());
    EXPECT_TRUE(manual.Wait(Infinite));  // stays signalled
    EXPECT_TRUE(manual.Reset());
    EXPECT_FALSE(manual.Wait(10));

    Event automatic(false, true);
    EXPECT_TRUE(automatic.TryWait());  // the one wait it satisfies clears it
    EXPECT_FALSE(automatic.TryWait());
    automatic.Set();
    automatic.Set();
    EXPECT_TRUE(automatic.TryWait());
    EXPECT_FALSE(automatic.TryWait());
}

TEST(Syncable, MovingLeavesTheSourceEmpty) {
    Event a(true, true);
    Event b(std::move(a));
    EXPECT_FALSE(a.handle());
    EXPECT_EQ(a.rights(), 0u);
    EXPECT_FALSE(a.TryWait());
    EXPECT_FALSE(a.Set());
    EXPECT_TRUE(b.TryWait());
    a = std::move(b);
    EXPECT_TRUE(a.TryWait());
    EXPECT_FALSE(b.handle());
}

TEST(WaitAny, ReturnsTheFirstSignalledMemberAndTakesOnlyIt) {
    Event stop(true, false);
    Semaphore sem;
    ASSERT_TRUE(sem.Release(2));
    EXPECT_EQ(WaitAny({&stop, &sem}), 1);
    EXPECT_TRUE(sem.TryWait());  // two counts, one taken by WaitAny
    EXPECT_FALSE(sem.TryWait());

    ASSERT_TRUE(sem.Release(1));
    ASSERT_TRUE(stop.Set());
    EXPECT_EQ(WaitAny({&stop, &sem}), 0);
    EXPECT_EQ(WaitAny({&stop, &sem}), 0);  // manual: still set
    EXPECT_TRUE(sem.TryWait());            // the count was left alone
}

TEST(WaitAny, RefusesWaitsThatCouldNeverEnd) {
    EXPECT_THROW(WaitAny({}), WouldDeadlock);
    EXPECT_THROW(WaitAny({&Thread::Current()}), WouldDeadlock);
    EXPECT_THROW(WaitAny({&Thread::Current(), &Process::Current()}), WouldDeadlock);

    Semaphore sem;
    ASSERT_TRUE(sem.Release(1));
    EXPECT_EQ(WaitAny({&Thread::Current(), &sem}), 1);
}

TEST(WaitAny, MemberThatCannotBeWaitedOnGivesMinusOne) {
    Event set(true, true);
    Event empty(true, true);
    Event taker(std::move(empty));
    Event noWait(CloneHandle(set, RightModify), RightModify);
    EXPECT_EQ(WaitAny({&set, &empty}), -1);
    EXPECT_EQ(WaitAny({&noWait}), -1);
    EXPECT_EQ(WaitAny({&set, nullptr}), -1);
}

TEST(WaitAny, BlockedWaitersAreWokenOnePerCount) {
    Semaphore sem;
    std::atomic<int> results[2] = {-5, -5};
    Thread waiters[2] = {Thread::Start([&] { results[0] = WaitAny({&sem}); }, "waiter 0"),
                         Thread::Start([&] { results[1] = WaitAny({&sem}); }, "waiter 1")};
    ASSERT_TRUE(sem.Release(1));
    const int first = WaitAny({&waiters[0], &waiters[1]});
    ASSERT_GE(first, 0);
    EXPECT_EQ(results[first].load(), 0);
    EXPECT_FALSE(sem.TryWait());                 // the count went to exactly one waiter
    EXPECT_FALSE(waiters[1 - first].TryWait());  // the other still waits
    ASSERT_TRUE(sem.Release(1));
    EXPECT_EQ(waiters[1 - first].Join(), 0u);
    EXPECT_EQ(results[1 - first].load(), 0);
}

TEST(WaitAll, TakesAllMembersAtOnceOrNothing) {
    Event manual(true, false);
    Semaphore sem;
    ASSERT_TRUE(sem.Release(1));
    EXPECT_EQ(WaitAll({&manual, &sem}, 10), -1);
    EXPECT_TRUE(sem.TryWait());  // the time-out took nothing
    ASSERT_TRUE(sem.Release(1));

    ASSERT_TRUE(manual.Set());
    EXPECT_EQ(WaitAll({&manual, &sem}), 0);
    EXPECT_FALSE(sem.TryWait());
    EXPECT_TRUE(manual.TryWait());

    EXPECT_EQ(WaitAll({}), -1);
    Event same(CloneHandle(manual, RightWait), RightWait);
    EXPECT_EQ(WaitAll({&manual, &same}), -1);  // one object twice
}

TEST(WaitAll, WaitsUntilAnotherThreadCompletesTheSet) {
    Event manual(true, false);
    Semaphore sem;
    std::atomic<int> result = -5;
    Thread waiter = Thread::Start([&] { result = WaitAll({&manual, &sem}, Infinite); }, "all");
    ASSERT_TRUE(sem.Release(1));
    ASSERT_TRUE(manual.Set());
    EXPECT_EQ(waiter.Join(), 0u);
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(sem.TryWait());
}

TEST(SelfWait, InfiniteWaitsOnOneselfThrowAndFiniteOnesTimeOut) {
    EXPECT_THROW(Thread::Current().Wait(Infinite), WouldDeadlock);
    EXPECT_FALSE(Thread::Current().Wait(10));
    EXPECT_THROW(Thread::Current().Join(), WouldDeadlock);

    Thread me(CloneHandle(Thread::Current(), RightWait), RightWait);
    EXPECT_TRUE(me.IsSelf());
    EXPECT_THROW(me.Wait(Infinite), WouldDeadlock);
    EXPECT_THROW(me.Join(), WouldDeadlock);

    EXPECT_THROW(Process::Current().Wait(Infinite), WouldDeadlock);
    EXPECT_THROW(Process::Current().Join(), WouldDeadlock);
    EXPECT_FALSE(Process::Current().Wait(0));
    EXPECT_EQ(Process::Current().ProcessId(), static_cast<std::uint32_t>(getpid()));
}

TEST(CloneHandle, SharesTheObjectWithTheRightsAsked) {
    Syncable plain;
    EXPECT_THROW(CloneHandle(plain, RightWait), Wobbly);
    Event empty(false, false);
    Event taker(std::move(empty));
    EXPECT_THROW(CloneHandle(empty, RightWait), CannotCloneHandle);

    Event original(false, false);
    Event both(CloneHandle(original, original.DefaultRights()), original.DefaultRights());
    EXPECT_TRUE(both.Set());
    EXPECT_TRUE(original.TryWait());
    EXPECT_FALSE(both.TryWait());  // the one automatic reset was shared

    Event waitOnly(CloneHandle(original, RightWait), RightWait);
    EXPECT_EQ(waitOnly.handle().access(), Access::Synchronize);
    EXPECT_FALSE(waitOnly.Set());
    Event modifyOnly(CloneHandle(original, RightModify), RightModify);
    EXPECT_TRUE(modifyOnly.Set());
    EXPECT_FALSE(modifyOnly.TryWait());
    EXPECT_TRUE(waitOnly.TryWait());

    Semaphore sem;
    Semaphore waitSem(CloneHandle(sem, RightWait), RightWait);
    EXPECT_FALSE(waitSem.Release(1));
    ASSERT_TRUE(sem.Release(1));
    EXPECT_TRUE(waitSem.TryWait());

    const Handle process = CloneHandle(Process::Current(), RightWait);
    EXPECT_TRUE(process.SameObject(Process::Current().handle()));
}

TEST(CloneHandle, ThePseudoHandleBecomesTheCallingThread) {
    Thread mainThread(CloneHandle(Thread::Current(), RightWait), RightWait);
    EXPECT_FALSE(mainThread.handle().SameObject(Handle::CurrentThread()));
    EXPECT_EQ(mainThread.ThreadId(), static_cast<std::uint32_t>(gettid()));
    EXPECT_EQ(mainThread.handle().access(),
              Access::Synchronize | Access::ThreadQueryLimitedInformation);

    bool mainIsSelf = true, currentIsSelf = false, mainEnded = true;
    std::uint32_t mainId = 0, ownId = 0, ownIdSeen = 1;
    Thread other = Thread::Start(
        [&] {
            mainIsSelf = mainThread.IsSelf();
            mainId = mainThread.ThreadId();
            mainEnded = mainThread.Wait(10);
            currentIsSelf = Thread::Current().IsSelf();
            ownId = Thread::Current().ThreadId();
            ownIdSeen = static_cast<std::uint32_t>(gettid());
        },
        "other");
    EXPECT_EQ(other.Join(), 0u);
    EXPECT_FALSE(mainIsSelf);
    EXPECT_EQ(mainId, mainThread.ThreadId());
    EXPECT_FALSE(mainEnded);
    EXPECT_TRUE(currentIsSelf);
    EXPECT_EQ(ownId, ownIdSeen);
    EXPECT_EQ(other.ThreadId(), ownIdSeen);
}

TEST(Thread, StartNamesRunsAndSignalsTheEnd) {
    std::string name;
    Event go(true, false);
    Thread t = Thread::Start(
        [&] {
            char buffer[32] = {};
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name = buffer;
            go.Wait(Infinite);
        },
        "0123456789abcdefghij");
    EXPECT_FALSE(t.IsSelf());
    EXPECT_NE(t.ThreadId(), 0u);
    EXPECT_NE(t.ThreadId(), static_cast<std::uint32_t>(gettid()));
    EXPECT_EQ(t.ProcessId(), static_cast<std::uint32_t>(getpid()));
    EXPECT_FALSE(t.TryWait());
    go.Set();
    EXPECT_EQ(t.Join(), 0u);
    EXPECT_EQ(name, "0123456789abcde");
    EXPECT_TRUE(t.TryWait());  // an ended thread stays signalled
    EXPECT_TRUE(t.Wait(Infinite));

    Thread thrower = Thread::Start([] { throw std::runtime_error("x"); }, "");
    EXPECT_EQ(thrower.Join(), 1u);

    Thread empty;
    EXPECT_THROW(empty.Join(), Wobbly);
    EXPECT_FALSE(empty.SetPriority(PriorityNormal));
}

TEST(ScopedLock, NeedsASectionAndMayBeNested) {
    try {
        ScopedLock lock(nullptr);
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Indefinite wait failed!");
    }

    CriticalSection section;
    int counter = 0;
    {
        ScopedLock outer(&section);
        ScopedLock inner(&section);
        ++counter;
    }
    Thread t = Thread::Start(
        [&] {
            ScopedLock lock(&section);
            ++counter;
        },
        "locker");
    t.Join();
    EXPECT_EQ(counter, 2);
}

}  // namespace
