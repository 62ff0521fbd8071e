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
thread_local const WaitCancel* threadCancel = nullptr;

int newEventDescriptor() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot create an event descriptor: ") +
                                 std::strerror(errno));
    return fd;
}

}  // namespace

void ArmStop() {
    if (wakeFd.load() >= 0) return;
    const int fd = newEventDescriptor();
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
    const WaitCancel* cancel = threadCancel;
    pollfd fds[3] = {{fd, events, 0},
                     {wakeFd.load(), POLLIN, 0},
                     {cancel ? cancel->descriptor() : -1, POLLIN, 0}};
    for (;;) {
        if (requested || (cancel && cancel->fired())) return false;
        // Without a wake-up descriptor (-1) poll leaves that entry alone.
        const int n = poll(fds, 3, -1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (requested || fds[1].revents || fds[2].revents) return false;
        // poll's own failure (ENOMEM): the read or write says what is wrong.
        return true;
    }
}

WaitCancel::WaitCancel() : fd_(newEventDescriptor()) {}

WaitCancel::~WaitCancel() {
    close(fd_);
}

void WaitCancel::fire() noexcept {
    fired_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
}

WaitCancel::Scope::Scope(const WaitCancel* cancel) : previous_(threadCancel) {
    threadCancel = cancel;
}

WaitCancel::Scope::~Scope() {
    threadCancel = previous_;
}

}  // namespace Stream
