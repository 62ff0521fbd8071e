#pragma once

// An input file's size and time of last modification, taken when it was opened, so that the end
// of a conversion can tell whether another program wrote to the file meanwhile (an export or a
// copy over it, a recording still going on): what was read then mixes two files, or stops where
// the file stood at the start.

#include <sys/types.h>

#include <ctime>

namespace Audio::IO {

class FileWatch {
public:
    // Watches the file open on `fd`, which the watch takes over and closes.
    explicit FileWatch(int fd);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // True when the file's size or time of last modification differ from those at the start
    // (or the file can no longer be looked at).
    bool Changed() const;

private:
    int fd_;
    off_t size_ = 0;
    timespec modified_{};
};

}  // namespace Audio::IO
