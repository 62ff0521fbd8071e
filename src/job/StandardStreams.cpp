#include "job/StandardStreams.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "stream/Stop.h"

namespace {

// The cookie is the duplicated descriptor, owned by the C file.
ssize_t readWaiting(void* cookie, char* buffer, std::size_t size) {
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(cookie));
    for (;;) {
        if (!Stream::WaitReady(fd, POLLIN)) {
            errno = ECANCELED;
            return -1;
        }
        const ssize_t n = read(fd, buffer, size);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    }
}

int closeDescriptor(void* cookie) {
    return close(static_cast<int>(reinterpret_cast<std::intptr_t>(cookie)));
}

}  // namespace

std::FILE* OpenStandardInput() {
    const int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    std::FILE* f = nullptr;
    if (fd >= 0) {
        // A regular file never waits for a writer, and stays seekable.
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            f = fdopen(fd, "rb");
        else
            f = fopencookie(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)), "rb",
                            {readWaiting, nullptr, nullptr, closeDescriptor});
    }
    if (!f) {
        const int error = errno;
        if (fd >= 0) close(fd);
        throw std::runtime_error(std::string("cannot read standard input: ") +
                                 std::strerror(error));
    }
    return f;
}

void PrepareStopRequests() {
    Stream::ArmStop();
}

void RequestStop() noexcept {
    Stream::RequestStop();
}

bool StopRequested() noexcept {
    return Stream::StopRequested();
}

bool WaitToWrite(int fd, std::size_t bytes) {
    using Clock = std::chrono::steady_clock;
    const int capacity = fcntl(fd, F_GETPIPE_SZ);
    std::optional<Clock::time_point> deadline;  // a second after the stop request
    for (;;) {
        if (!Stream::StopRequested() && !Stream::WaitReady(fd, POLLOUT)) continue;
        if (Stream::StopRequested()) {
            if (!deadline) deadline = Clock::now() + std::chrono::seconds(1);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            pollfd ready{fd, POLLOUT, 0};
            const int n = poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0)));
            if (n == 0) return false;
            if (n < 0 && errno == EINTR) continue;
            // (poll's own failure: the write says what is wrong)
        }
        int queued = 0;
        if (capacity < 0 || std::size_t(capacity) < bytes + PIPE_BUF ||
            ioctl(fd, FIONREAD, &queued) != 0 || std::size_t(capacity - queued) >= bytes + PIPE_BUF)
            return true;
        // Room for part of it: the reader is still taking lines, or stopped.
        if (deadline && Clock::now() > *deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void InstallStopSignals(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction inherited {};
        if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
        sigaction(s, &sa, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
}
