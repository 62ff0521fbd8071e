#pragma once

#include <mutex>
#include <stdexcept>

namespace Threads {

// Mutual exclusion between threads; the thread that holds it may enter it again (each Enter
// needs its Leave).
class CriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a critical section from construction to destruction.
class ScopedLock {
public:
    // Throws std::logic_error("Indefinite wait failed!") for a null section.
    explicit ScopedLock(CriticalSection* section) : section_(section) {
        if (!section_) throw std::logic_error("Indefinite wait failed!");
        section_->Enter();
    }
    ~ScopedLock() { section_->Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection* section_;
};

}  // namespace Threads
