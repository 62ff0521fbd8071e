#pragma once

// The process's stop request (a stop signal): once made it stays, and every wait of
// WaitReady, on any thread, ends at once. Lets a blocking read of standard input or write
// of a stream that the other end does not serve be given up.

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
// true; false when a stop was requested first (or is already).
bool WaitReady(int fd, short events);

}  // namespace Stream
