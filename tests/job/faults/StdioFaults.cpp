// Interposes the C library's stdio calls; see StdioFaults.h.

#include "StdioFaults.h"

#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

using File = FILE;

template <class F>
F Next(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (!f) std::abort();
    return reinterpret_cast<F>(f);
}

struct Tracked {
    bool output;
    std::string path;
};

struct State {
    std::mutex mutex;
    std::unordered_map<File*, Tracked> files;
    StdioFaults::Counts counts;
    bool armed = false;
    StdioFaults::Call call{};
    std::uint64_t at = 0;
    int error = 0;
    std::uint64_t readAt = 0;
    std::function<void(const std::string&)> readAction;
};

State& S() {
    static State* s = new State;  // never destroyed: used until exit
    return *s;
}

std::atomic<std::uint64_t> gInjected{0};

// True when this call of `kind` on `f` must fail; counts it.
bool Fails(File* f, StdioFaults::Call kind) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.files.find(f);
    if (it == s.files.end()) return false;
    std::uint64_t* counter = nullptr;
    switch (kind) {
        case StdioFaults::Call::OutputWrite:
            counter = &s.counts.outputWrites;
            break;
        case StdioFaults::Call::OutputSeek:
            counter = &s.counts.outputSeeks;
            break;
        case StdioFaults::Call::OutputClose:
            counter = &s.counts.outputCloses;
            break;
        case StdioFaults::Call::InputRead:
            counter = &s.counts.inputReads;
            break;
    }
    const bool isOutputCall = kind != StdioFaults::Call::InputRead;
    if (it->second.output != isOutputCall) return false;
    const std::uint64_t n = ++*counter;
    if (s.armed && s.call == kind && n >= s.at) {
        f->_flags |= 0x0020;  // _IO_ERR_SEEN: ferror() tells, as after a real failure
        errno = s.error;
        ++gInjected;
        return true;
    }
    return false;
}

void Track(File* f, const char* path, const char* mode) {
    if (!f || !mode) return;
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.files[f] = Tracked{std::strchr(mode, 'w') != nullptr || std::strchr(mode, 'a') != nullptr,
                         path ? path : ""};
}

}  // namespace

namespace StdioFaults {

void Reset() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.counts = {};
    s.armed = false;
    s.readAt = 0;
    s.readAction = nullptr;
}

Counts Current() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    return s.counts;
}

void FailAt(Call call, std::uint64_t n, int error) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.armed = true;
    s.call = call;
    s.at = n;
    s.error = error;
}

void BeforeRead(std::uint64_t n, std::function<void(const std::string&)> action) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.readAt = n;
    s.readAction = std::move(action);
}

std::uint64_t Injected() {
    return gInjected;
}

}  // namespace StdioFaults

extern "C" {

File* fopen(const char* path, const char* mode) {
    static auto real = Next<File* (*)(const char*, const char*)>("fopen");
    File* f = real(path, mode);
    Track(f, path, mode);
    return f;
}

File* fopen64(const char* path, const char* mode) {
    static auto real = Next<File* (*)(const char*, const char*)>("fopen64");
    File* f = real(path, mode);
    Track(f, path, mode);
    return f;
}

// Outputs created as new files are opened by descriptor.
File* fdopen(int fd, const char* mode) {
    static auto real = Next<File* (*)(int, const char*)>("fdopen");
    File* f = real(fd, mode);
    char path[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), path, sizeof path - 1) < 0) path[0] = 0;
    Track(f, path, mode);
    return f;
}

std::size_t fwrite(const void* p, std::size_t size, std::size_t n, File* f) {
    static auto real =
        Next<std::size_t (*)(const void*, std::size_t, std::size_t, File*)>("fwrite");
    if (Fails(f, StdioFaults::Call::OutputWrite)) return 0;
    return real(p, size, n, f);
}

int fflush(File* f) {
    static auto real = Next<int (*)(File*)>("fflush");
    if (f && Fails(f, StdioFaults::Call::OutputWrite)) return -1;
    return real(f);
}

int fseeko(File* f, off_t offset, int whence) {
    static auto real = Next<int (*)(File*, off_t, int)>("fseeko");
    if (Fails(f, StdioFaults::Call::OutputSeek)) return -1;
    return real(f, offset, whence);
}

int fseeko64(File* f, off64_t offset, int whence) {
    static auto real = Next<int (*)(File*, off64_t, int)>("fseeko64");
    if (Fails(f, StdioFaults::Call::OutputSeek)) return -1;
    return real(f, offset, whence);
}

off_t ftello(File* f) {
    static auto real = Next<off_t (*)(File*)>("ftello");
    if (Fails(f, StdioFaults::Call::OutputSeek)) return -1;
    return real(f);
}

off64_t ftello64(File* f) {
    static auto real = Next<off64_t (*)(File*)>("ftello64");
    if (Fails(f, StdioFaults::Call::OutputSeek)) return -1;
    return real(f);
}

std::size_t fread(void* p, std::size_t size, std::size_t n, File* f) {
    static auto real = Next<std::size_t (*)(void*, std::size_t, std::size_t, File*)>("fread");
    std::function<void(const std::string&)> action;
    std::string path;
    {
        State& s = S();
        std::lock_guard lock(s.mutex);
        auto it = s.files.find(f);
        if (it != s.files.end() && !it->second.output && s.readAction &&
            s.counts.inputReads + 1 == s.readAt) {
            action = s.readAction;
            path = it->second.path;
        }
    }
    if (action) {
        action(path);
        ++gInjected;
    }
    if (Fails(f, StdioFaults::Call::InputRead)) return 0;
    return real(p, size, n, f);
}

int fclose(File* f) {
    static auto real = Next<int (*)(File*)>("fclose");
    const bool fail = Fails(f, StdioFaults::Call::OutputClose);
    {
        State& s = S();
        std::lock_guard lock(s.mutex);
        s.files.erase(f);
    }
    const int r = real(f);  // the handle is released either way
    return fail ? -1 : r;
}

}  // extern "C"
