#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "threads/Syncable.h"
#include "threads/Thread.h"

namespace Threads {

// Registry of the threads the process runs for itself, each with a stop event, so that all of
// them can be told to stop at process exit.
//
// One per process (Instance), made on first use and never destroyed; StopAll runs by itself at
// process exit (an exit handler registered at creation, so it runs after the destruction of
// static objects made later, such as the process-wide pool). The main thread is the thread that
// ran static initialisation; only it may start managed threads.
class Manager {
public:
    struct IllegalCallingThread {};

    static Manager& Instance();
    static bool IsMainThread();

    // Starts a thread named `name` that registers itself (RegisterCurrentThread), then runs
    // `closure`, swallowing anything it throws. Returns once the thread has registered: its
    // identifier, or 0 if registration failed (the closure is then not run). Throws
    // IllegalCallingThread off the main thread, std::system_error if no thread can be made.
    std::uint32_t StartThread(std::function<void()> closure, const std::string& name);

    // Registers the calling thread with a new stop event (manual reset, clear; already set
    // after StopAll) that becomes the thread's StopSignal, and returns a handle to it. A thread
    // that registers again gets its existing event.
    Event RegisterCurrentThread();

    // Sets every registered stop event, waits at most 5000 ms until all those threads (except
    // the calling one) have ended, then forgets them.
    void StopAll();

private:
    Manager() = default;

    struct Record {
        Event stop;
        Thread thread;
    };
    std::mutex lock_;
    std::map<std::uint32_t, Record> threads_;  // by thread identifier
    bool stopped_ = false;
};

// The calling thread's stop event (see Manager::RegisterCurrentThread), or null if the thread
// never registered.
Event* StopSignal();

}  // namespace Threads
