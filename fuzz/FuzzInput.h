#pragma once

// Hands a fuzzer input to readers that open files by path: the bytes go
// into an in-memory file, reachable as /proc/self/fd/N.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "stream/Stream.h"

namespace FuzzInput {

inline std::string AsFile(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0) std::abort();
    if (ftruncate(fd, 0) != 0) std::abort();
    if (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}

// Reads the stream as a consumer does, at most `limit` bytes, in blocks of
// `block` bytes rounded to its granularity.
inline std::size_t Drain(Stream::iOver& s, std::size_t block, std::size_t limit) {
    const std::size_t g = s.granularity ? s.granularity : 1;
    const std::size_t n = (block / g + 1) * g;
    const std::size_t capacity = n * (s.expansion ? s.expansion : 1);
    std::vector<std::uint8_t> storage(capacity);  // freed when a read throws
    std::uint8_t* buffer = storage.data();
    std::size_t total = 0;
    while (total < limit && (s.length < 0 || s.position < s.length)) {
        Stream::Block b =
            s.read(slice<std::uint8_t>(buffer, n), static_cast<std::uint32_t>(capacity));
        if (b.begin != buffer || b.length() != n) std::abort();  // a read covers its range
        s.position += static_cast<std::int64_t>(n);
        total += n;
        if (s.length < 0 && total > limit / 2) break;
    }
    return total;
}

}  // namespace FuzzInput
