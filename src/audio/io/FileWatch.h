#pragma once

// An input file's size and time of last modification, taken when it was opened, so that the end
// of a conversion can tell whether another program wrote to the file meanwhile (an export or a
// copy over it, a recording still going on): what was read then mixes two files, or stops where
// the file stood at the start. A file read with a companion (a WavPack file and its correction
// file) watches both.

#include <sys/types.h>

#include <ctime>
#include <vector>

namespace Audio::IO {

class FileWatch {
public:
    // Watches the file open on `fd`, which the watch takes over and closes.
    explicit FileWatch(int fd);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Watches the file open on `fd` as well (taken over; a negative `fd` is ignored).
    void Add(int fd);

    // True when a file's size or time of last modification differ from those at the start (or
    // the file can no longer be looked at).
    bool Changed() const;

private:
    struct Watched {
        int fd;
        off_t size = 0;
        timespec modified{};
    };
    std::vector<Watched> files_;
};

}  // namespace Audio::IO
