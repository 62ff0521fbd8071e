#include "job/StandardStreams.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

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

bool WaitToWrite(int fd) {
    if (!Stream::StopRequested() && Stream::WaitReady(fd, POLLOUT)) return true;
    pollfd ready{fd, POLLOUT, 0};
    int n;
    do n = poll(&ready, 1, 1000);
    while (n < 0 && errno == EINTR);
    return n != 0;  // poll's own failure: the write says what is wrong
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
