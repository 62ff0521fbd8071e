#include "threads/Pool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "threads/Lock.h"
#include "threads/Manager.h"
#include "threads/Syncable.h"
#include "threads/Thread.h"

namespace Threads {

namespace {

constexpr std::uint32_t closeLimitMs = 5000;

struct Task {
    std::function<void()> closure;
    std::int32_t priority;
    bool grow;
};

std::size_t QueueOf(std::int32_t priority) {
    switch (priority) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 3:
            return 3;
        default:
            return 2;
    }
}

std::uint32_t CheckedCount(std::uint32_t workers) {
    if (workers == 0) throw std::invalid_argument("Threads::Pool needs at least one worker");
    return workers;
}

}  // namespace

struct Pool::State {
    explicit State(std::uint32_t n) : base(n) {}

    // Held by each worker's closure: counts the worker threads whose closure still exists.
    struct Token {
        explicit Token(std::shared_ptr<State> s) : state(std::move(s)) {
            std::lock_guard lock(state->aliveLock);
            ++state->alive;
        }
        ~Token() {
            std::lock_guard lock(state->aliveLock);
            --state->alive;
            state->aliveChanged.notify_all();
        }
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        std::shared_ptr<State> state;
    };

    std::unique_ptr<Task> TakeTask();
    void RunTask(Task& task);
    void Work();
    void Close();

    const std::uint32_t base;  // workers asked for at creation
    std::atomic<std::uint32_t> workers{0};
    std::atomic<std::uint32_t> blocking{0};
    std::atomic<std::uint32_t> idle{0};    // workers blocked waiting for a task
    std::atomic<std::uint32_t> queued{0};  // tasks in the queues
    std::mutex idleSubmit;                 // one SubmitToIdle decision at a time
    Semaphore wake;              // one count per submitted task
    Event closing{true, false};  // set when the pool is destroyed
    std::array<std::deque<std::unique_ptr<Task>>, 4> queues;
    std::array<CriticalSection, 4> locks;  // one per queue

    std::mutex aliveLock;
    std::condition_variable aliveChanged;
    std::uint32_t alive = 0;
};

std::unique_ptr<Task> Pool::State::TakeTask() {
    for (std::size_t q = 0; q < queues.size(); ++q) {
        ScopedLock lock(&locks[q]);
        if (!queues[q].empty()) {
            std::unique_ptr<Task> task = std::move(queues[q].front());
            queues[q].pop_front();
            queued.fetch_sub(1);
            return task;
        }
    }
    return nullptr;
}

void Pool::State::RunTask(Task& task) {
    try {
        Thread::Current().SetPriority(task.priority);
        task.closure();
    } catch (...) {
    }
    if (task.grow) blocking.fetch_sub(1);
}

void Pool::State::Work() {
    Event never(true, false);
    Event* stop = StopSignal();
    if (!stop) stop = &never;
    for (;;) {
        if (closing.TryWait() || stop->TryWait()) return;
        if (std::unique_ptr<Task> task = TakeTask()) {
            RunTask(*task);
            continue;
        }
        // 1 (a count taken) or -1: look at the queues again.
        idle.fetch_add(1);
        const int r = WaitAny({stop, &wake, &closing});
        idle.fetch_sub(1);
        if (r == 0 || r == 2) return;
    }
}

void Pool::State::Close() {
    closing.Set();
    {
        std::unique_lock lock(aliveLock);
        aliveChanged.wait_for(lock, std::chrono::milliseconds(closeLimitMs),
                              [&] { return alive == 0; });
    }
    for (std::size_t q = 0; q < queues.size(); ++q) {
        std::deque<std::unique_ptr<Task>> dropped;
        {
            ScopedLock lock(&locks[q]);
            dropped.swap(queues[q]);
        }
    }
}

std::uint32_t Pool::DefaultWorkerCount() {
    static const std::uint32_t n = std::max(2u, std::thread::hardware_concurrency());
    return n;
}

namespace {
[[maybe_unused]] const std::uint32_t workerCountAtStart = Pool::DefaultWorkerCount();
}

Pool& Pool::Instance() {
    static Pool pool(DefaultWorkerCount());
    return pool;
}

Pool::Pool(std::uint32_t workers) : state_(std::make_shared<State>(CheckedCount(workers))) {
    try {
        for (std::uint32_t i = 0; i < workers; ++i) AddWorker();
    } catch (...) {
        state_->Close();
        throw;
    }
}

Pool::~Pool() {
    state_->Close();
}

void Pool::Submit(std::int32_t priority, bool grow, std::function<void()> closure) {
    const std::size_t q = QueueOf(priority);
    {
        ScopedLock lock(&state_->locks[q]);
        state_->queues[q].push_back(
            std::make_unique<Task>(Task{std::move(closure), priority, grow}));
        state_->queued.fetch_add(1);
    }
    // The count goes out after the task is queued, also when starting a worker fails.
    struct WakeOne {
        Semaphore& wake;
        ~WakeOne() { wake.Release(); }
    } wakeOne{state_->wake};
    if (grow) {
        const std::uint32_t b = state_->blocking.fetch_add(1) + 1;
        if (state_->workers.load() < state_->base + b) AddWorker();
    }
}

bool Pool::SubmitToIdle(std::int32_t priority, std::function<void()> closure) {
    std::lock_guard decide(state_->idleSubmit);
    if (state_->idle.load() <= state_->queued.load()) return false;
    const std::size_t q = QueueOf(priority);
    {
        ScopedLock lock(&state_->locks[q]);
        state_->queues[q].push_front(
            std::make_unique<Task>(Task{std::move(closure), priority, false}));
        state_->queued.fetch_add(1);
    }
    state_->wake.Release();
    return true;
}

void Pool::AddWorker() {
    state_->workers.fetch_add(1);
    try {
        auto token = std::make_shared<State::Token>(state_);
        const auto run = [token] { token->state->Work(); };
        if (Manager::Instance().StartThread(run, "Threads::Pool worker") == 0)
            state_->workers.fetch_sub(1);  // ended without running
    } catch (...) {
        state_->workers.fetch_sub(1);
        throw;
    }
}

std::uint32_t Pool::Workers() const {
    return state_->workers.load();
}

std::uint32_t Pool::Idle() const {
    return state_->idle.load();
}

std::uint32_t Pool::Queued() const {
    return state_->queued.load();
}

std::uint32_t Pool::Blocking() const {
    return state_->blocking.load();
}

}  // namespace Threads
