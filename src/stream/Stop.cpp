#include "stream/Stop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace Stream {

namespace {

std::atomic<int> wakeFd{-1};  // eventfd; readable (never read) once a stop is requested
// Lock-free, so a signal handler may set it.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

}  // namespace

void ArmStop() {
    if (wakeFd.load() >= 0) return;
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot create an event descriptor: ") +
                                 std::strerror(errno));
    int none = -1;
    if (!wakeFd.compare_exchange_strong(none, fd)) close(fd);
}

void RequestStop() noexcept {
    const int saved = errno;
    requested.store(true);
    const int fd = wakeFd.load();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
    }
    errno = saved;
}

bool StopRequested() noexcept {
    return requested.load();
}

bool WaitReady(int fd, short events) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd.load(), POLLIN, 0}};
    for (;;) {
        if (requested) return false;
        // Without a wake-up descriptor (-1) poll leaves the second entry alone.
        const int n = poll(fds, 2, -1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (requested || fds[1].revents) return false;
        // poll's own failure (ENOMEM): the read or write says what is wrong.
        return true;
    }
}

}  // namespace Stream
