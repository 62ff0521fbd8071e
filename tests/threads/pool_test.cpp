#include "threads/Pool.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Wobbly.h"
#include "threads/Manager.h"
#include "threads/Thread.h"

namespace {

using namespace Threads;

constexpr std::uint32_t kSafety = 20000;

// Thread-safe record of labels in the order tasks ran.
class Log {
public:
    void Add(std::string label) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(label));
    }
    std::vector<std::string> Entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> entries_;
};

TEST(Pool, TwoWorkersRunFiveTasksTwoAtATimeInSubmissionOrder) {
    std::deque<Event> started, gates;
    for (int i = 0; i < 5; ++i) {
        started.emplace_back(true, false);
        gates.emplace_back(true, false);
    }
    Log log;
    std::mutex countLock;
    int running = 0, mostRunning = 0;
    {
        Pool pool(2);
        for (int i = 0; i < 5; ++i) {
            pool.Submit(1, false, [&, i] {
                {
                    std::lock_guard lock(countLock);
                    mostRunning = std::max(mostRunning, ++running);
                }
                log.Add(std::to_string(i));
                started[i].Set();
                gates[i].Wait(Infinite);
                std::lock_guard lock(countLock);
                --running;
            });
        }
        ASSERT_EQ(WaitAll({&started[0], &started[1]}, kSafety), 0);
        std::vector<std::string> first = log.Entries();
        std::sort(first.begin(), first.end());
        EXPECT_EQ(first, (std::vector<std::string>{"0", "1"}));
        for (int next = 2; next < 5; ++next) {
            gates[next - 2].Set();  // frees one worker, which takes the next task in order
            ASSERT_TRUE(started[next].Wait(kSafety));
            const std::vector<std::string> entries = log.Entries();
            ASSERT_EQ(entries.size(), static_cast<std::size_t>(next + 1));
            EXPECT_EQ(entries.back(), std::to_string(next));
        }
        gates[3].Set();
        gates[4].Set();
    }
    EXPECT_EQ(mostRunning, 2);
}

TEST(Pool, PriorityChoosesTheQueue) {
    Log log;
    Event started(true, false), gate(true, false), done(true, false);
    Pool pool(1);
    pool.Submit(2, false, [&] {
        started.Set();
        gate.Wait(Infinite);
    });
    ASSERT_TRUE(started.Wait(kSafety));
    // Queue 2 holds 2, 4 and every other value, in submission order.
    const std::pair<std::int32_t, const char*> tasks[] = {
        {3, "3"}, {4, "4a"}, {2, "2"}, {1, "1"}, {4, "4b"}, {0, "0"}, {-1, "-1"}, {7, "7"}};
    for (const auto& [priority, label] : tasks)
        pool.Submit(priority, false, [&log, l = label] { log.Add(l); });
    pool.Submit(3, false, [&] { done.Set(); });
    gate.Set();
    ASSERT_TRUE(done.Wait(kSafety));
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"0", "1", "4a", "2", "4b", "-1", "7", "3"}));
}

// Waits until `n` workers wait for a task.
bool IdleReaches(const Pool& pool, std::uint32_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafety);
    while (pool.Idle() != n)
        if (std::chrono::steady_clock::now() > until)
            return false;
        else
            std::this_thread::yield();
    return true;
}

TEST(Pool, SubmitToIdleTakesOnlyAWorkerNoTaskWaitsFor) {
    Event aStarted(true, false), bStarted(true, false), gate(true, false);
    std::atomic<int> refusedRan = 0;
    {
        Pool pool(2);
        ASSERT_TRUE(IdleReaches(pool, 2));
        pool.Submit(1, false, [&] {
            aStarted.Set();
            gate.Wait(Infinite);
        });
        ASSERT_TRUE(aStarted.Wait(kSafety));
        ASSERT_TRUE(IdleReaches(pool, 1));
        EXPECT_TRUE(pool.SubmitToIdle(1, [&] {
            bStarted.Set();
            gate.Wait(Infinite);
        }));
        ASSERT_TRUE(bStarted.Wait(kSafety));
        EXPECT_FALSE(pool.SubmitToIdle(1, [&] { ++refusedRan; }));
        pool.Submit(1, false, [] {});
        EXPECT_FALSE(pool.SubmitToIdle(1, [&] { ++refusedRan; }));
        gate.Set();
    }
    EXPECT_EQ(refusedRan.load(), 0);
}

TEST(Pool, ThrowingTasksLeaveThePoolWorking) {
    Event done(true, false);
    Pool pool(1);
    pool.Submit(1, false, [] { throw std::runtime_error("task failed"); });
    pool.Submit(1, false, [] { throw Wobbly{}; });
    pool.Submit(1, true, [] { throw 7; });
    pool.Submit(1, false, std::function<void()>());  // std::bad_function_call
    pool.Submit(1, false, [&] { done.Set(); });
    EXPECT_TRUE(done.Wait(kSafety));
}

int NiceOfThisThread() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

TEST(Pool, TasksRunAtTheirPriorityOnNamedWorkers) {
    const int normal = NiceOfThisThread();
    if (normal >= 19) GTEST_SKIP() << "already at the lowest priority";
    std::atomic<int> belowNormal = -100, idle = -100;
    std::string name;
    Event done(true, false);
    Pool pool(2);
    pool.Submit(1, false, [&] {
        belowNormal = NiceOfThisThread();
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        pool.Submit(0, false, [&] {
            idle = NiceOfThisThread();
            done.Set();
        });
    });
    ASSERT_TRUE(done.Wait(kSafety));
    EXPECT_GT(belowNormal.load(), normal);
    EXPECT_EQ(belowNormal.load(), NiceValue(PriorityBelowNormal));
    EXPECT_EQ(idle.load(), 19);
    EXPECT_EQ(name, "Threads::Pool w");  // "Threads::Pool worker" cut to 15 bytes
    EXPECT_EQ(NiceOfThisThread(), normal);
}

TEST(Pool, GrowTasksGetAWorkerOfTheirOwn) {
    Event gate(true, false);
    Event started[3] = {{true, false}, {true, false}, {true, false}};
    Pool pool(2);
    EXPECT_EQ(pool.Workers(), 2u);
    pool.Submit(1, true, [&] {
        started[0].Set();
        gate.Wait(Infinite);
    });
    EXPECT_EQ(pool.Blocking(), 1u);
    EXPECT_EQ(pool.Workers(), 3u);
    for (int i = 1; i < 3; ++i) {
        pool.Submit(1, false, [&, i] {
            started[i].Set();
            gate.Wait(Infinite);
        });
    }
    EXPECT_EQ(pool.Workers(), 3u);
    // All three block at once: the grow task did not take one of the two ordinary workers.
    EXPECT_EQ(WaitAll({&started[0], &started[1], &started[2]}, kSafety), 0);
    gate.Set();
}

TEST(Pool, GrowingOffTheMainThreadThrowsButTheTaskStillRuns) {
    Event ran(true, false);
    Pool pool(1);
    std::atomic<bool> threw = false;
    Thread t = Thread::Start(
        [&] {
            try {
                pool.Submit(1, true, [&] { ran.Set(); });
            } catch (const Manager::IllegalCallingThread&) {
                threw = true;
            }
        },
        "submitter");
    t.Join();
    EXPECT_TRUE(threw);
    EXPECT_TRUE(ran.Wait(kSafety));
    EXPECT_EQ(pool.Workers(), 1u);

    EXPECT_THROW(Pool(0), std::invalid_argument);
    std::atomic<bool> refused = false;
    Thread maker = Thread::Start(
        [&] {
            try {
                Pool other(1);
            } catch (const Manager::IllegalCallingThread&) {
                refused = true;
            }
        },
        "maker");
    maker.Join();
    EXPECT_TRUE(refused);
}

TEST(Pool, DestructionDropsQueuedTasksWithoutHanging) {
    auto witness = std::make_shared<int>(0);
    std::weak_ptr<int> watch = witness;
    std::atomic<int> ran = 0;
    Event started(true, false), gate(true, false);
    {
        Pool pool(1);
        pool.Submit(1, false, [&] {
            started.Set();
            gate.Wait(Infinite);
        });
        ASSERT_TRUE(started.Wait(kSafety));
        for (int i = 0; i < 3; ++i) pool.Submit(1, false, [&ran, witness] { ++ran; });
        witness.reset();
        gate.Set();
    }
    EXPECT_TRUE(watch.expired());  // every closure, run or not, is gone with the pool
    EXPECT_LE(ran.load(), 3);
}

TEST(Pool, ProcessWidePoolIsMadeOnce) {
    Pool& pool = Pool::Instance();
    EXPECT_EQ(&pool, &Pool::Instance());
    EXPECT_EQ(pool.Workers(), Pool::DefaultWorkerCount());
    EXPECT_GE(Pool::DefaultWorkerCount(), 2u);
    Event ran(true, false);
    pool.Submit(1, false, [&] { ran.Set(); });
    EXPECT_TRUE(ran.Wait(kSafety));
}

// Context switches of every pool worker thread of this process, by thread identifier.
std::map<std::string, long> WorkerSwitches() {
    std::map<std::string, long> switches;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return switches;
    while (dirent* entry = readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == "..") continue;
        std::ifstream comm("/proc/self/task/" + tid + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "Threads::Pool w") continue;
        std::ifstream status("/proc/self/task/" + tid + "/status");
        long total = 0;
        for (std::string line; std::getline(status, line);) {
            const auto colon = line.find(':');
            if (colon != std::string::npos && line.find("ctxt_switches") != std::string::npos)
                total += std::stol(line.substr(colon + 1));
        }
        switches[tid] = total;
    }
    closedir(tasks);
    return switches;
}

TEST(Pool, IdleWorkersSleep) {
    Pool pool(3);
    // A polling worker switches in every window; a blocked one in none. Up to 20 windows of
    // 100 ms allow for workers still starting.
    bool quietWindow = false;
    for (int window = 0; window < 20 && !quietWindow; ++window) {
        const auto before = WorkerSwitches();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto after = WorkerSwitches();
        int compared = 0;
        bool quiet = true;
        for (const auto& [tid, count] : before) {
            const auto it = after.find(tid);
            if (it == after.end()) continue;
            ++compared;
            quiet = quiet && it->second == count;
        }
        quietWindow = quiet && compared >= 3;
    }
    EXPECT_TRUE(quietWindow);
}

}  // namespace
