#include "threads/Manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/Wobbly.h"
#include "threads/Pool.h"
#include "threads/Thread.h"

namespace {

using namespace Threads;

constexpr std::uint32_t kSafety = 20000;

TEST(Manager, StartThreadRegistersTheThreadBeforeItRuns) {
    ASSERT_TRUE(Manager::IsMainThread());
    std::atomic<std::uint32_t> seenId = 0;
    std::atomic<bool> hasStopSignal = false, stopSet = true, onMain = true;
    Event done(true, false);
    const std::uint32_t id = Manager::Instance().StartThread(
        [&] {
            seenId = static_cast<std::uint32_t>(gettid());
            Event* stop = StopSignal();
            hasStopSignal = stop != nullptr;
            stopSet = stop && stop->TryWait();
            onMain = Manager::IsMainThread();
            done.Set();
        },
        "managed");
    ASSERT_TRUE(done.Wait(kSafety));
    EXPECT_NE(id, 0u);
    EXPECT_EQ(id, seenId.load());
    EXPECT_TRUE(hasStopSignal);
    EXPECT_FALSE(stopSet);
    EXPECT_FALSE(onMain);
    EXPECT_EQ(StopSignal(), nullptr);  // the main thread never registered
}

TEST(Manager, StartThreadOffTheMainThreadThrows) {
    std::atomic<int> outcome = 0;  // 1: IllegalCallingThread, 2: started anyway
    Thread t = Thread::Start(
        [&] {
            try {
                Manager::Instance().StartThread([] {}, "nested");
                outcome = 2;
            } catch (const Manager::IllegalCallingThread&) {
                outcome = 1;
            }
        },
        "not main");
    t.Join();
    EXPECT_EQ(outcome.load(), 1);

    // Also from a managed thread, such as a pool worker.
    Event done(true, false);
    Manager::Instance().StartThread(
        [&] {
            try {
                Manager::Instance().StartThread([] {}, "nested");
                outcome = 2;
            } catch (const Manager::IllegalCallingThread&) {
                outcome = 3;
            }
            done.Set();
        },
        "managed");
    ASSERT_TRUE(done.Wait(kSafety));
    EXPECT_EQ(outcome.load(), 3);
}

TEST(Manager, ClosureExceptionsEndOnlyTheirThread) {
    Event thrown(true, false);
    Manager::Instance().StartThread(
        [&] {
            thrown.Set();
            throw Wobbly{};
        },
        "thrower");
    ASSERT_TRUE(thrown.Wait(kSafety));
    Event ran(true, false);
    EXPECT_NE(Manager::Instance().StartThread([&] { ran.Set(); }, "after"), 0u);
    EXPECT_TRUE(ran.Wait(kSafety));
}

TEST(Manager, RegisteringAgainGivesTheSameStopEvent) {
    bool same = false, signalMatches = false;
    Thread t = Thread::Start(
        [&] {
            Event first = Manager::Instance().RegisterCurrentThread();
            Event second = Manager::Instance().RegisterCurrentThread();
            first.Set();
            same = second.TryWait();
            signalMatches = StopSignal() && StopSignal()->TryWait();
        },
        "registers");
    t.Join();
    EXPECT_TRUE(same);
    EXPECT_TRUE(signalMatches);
}

// Runs in a child process: leaves a managed thread waiting for its stop signal and a pool task
// running, then exits. The pool finishes its task before the manager stops the other thread.
void ExitWithThreadsRunning() {
    static std::atomic<bool> taskDone = false;
    static auto* taskStarted = new Event(true, false);
    Manager::Instance().StartThread(
        [] {
            if (StopSignal()->Wait(Infinite))
                std::fprintf(stderr, taskDone ? "stopped after task\n" : "stopped early\n");
        },
        "waits for stop");
    Pool::Instance().Submit(1, false, [] {
        taskStarted->Set();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        taskDone = true;
    });
    Manager::Instance().RegisterCurrentThread();  // the exiting thread is on the list too
    taskStarted->Wait(Infinite);
    std::exit(0);
}

TEST(ManagerDeathTest, ExitStopsManagedThreadsAfterThePool) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithThreadsRunning(), testing::ExitedWithCode(0), "stopped after task");
}

}  // namespace
