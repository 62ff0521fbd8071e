#pragma once

// The process's stop request (a stop signal): once made it stays, and every wait of
// WaitReady, on any thread, ends at once. Lets a blocking read of standard input or write
// of a stream that the other end does not serve be given up.

#include <atomic>
#include <stdexcept>

namespace Stream {

// A read or write of a stream given up for a stop request.
struct Stopped : std::runtime_error {
    Stopped() : std::runtime_error("aborted") {}
};

// Creates the wake-up descriptor; call once, before a signal handler may call RequestStop.
// Throws when the system has none to give.
void ArmStop();
// Async-signal-safe: a flag and one write() to the wake-up descriptor.
void RequestStop() noexcept;
bool StopRequested() noexcept;
// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or reports an error or hang-up:
// true; false when a stop was requested first (or is already), or the calling thread's
// WaitCancel fired.
bool WaitReady(int fd, short events);

// Ends the waits of WaitReady on one thread, the process's stop aside: a read-ahead that is
// given up wakes its task from a read of standard input whose producer is idle. Any thread
// may fire it; its waits end from then on.
class WaitCancel {
public:
    // Throws when the system has no event descriptor to give.
    WaitCancel();
    ~WaitCancel();
    WaitCancel(const WaitCancel&) = delete;
    WaitCancel& operator=(const WaitCancel&) = delete;

    void fire() noexcept;
    bool fired() const noexcept { return fired_.load(); }
    int descriptor() const { return fd_; }

    // While it lives, the thread's WaitReady also ends when `cancel` (may be null) fires.
    class Scope {
    public:
        explicit Scope(const WaitCancel* cancel);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        const WaitCancel* previous_;
    };

private:
    int fd_;
    std::atomic<bool> fired_{false};
};

}  // namespace Stream
