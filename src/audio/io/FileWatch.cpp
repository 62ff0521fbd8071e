#include "audio/io/FileWatch.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Audio::IO {

FileWatch::FileWatch(int fd) : fd_(fd) {
    struct stat info {};
    if (::fstat(fd_, &info) == 0) {
        size_ = info.st_size;
        modified_ = info.st_mtim;
    }
}

FileWatch::~FileWatch() {
    ::close(fd_);
}

bool FileWatch::Changed() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return true;
    return info.st_size != size_ || info.st_mtim.tv_sec != modified_.tv_sec ||
           info.st_mtim.tv_nsec != modified_.tv_nsec;
}

}  // namespace Audio::IO
