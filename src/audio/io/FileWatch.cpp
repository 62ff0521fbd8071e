#include "audio/io/FileWatch.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Audio::IO {

FileWatch::FileWatch(int fd) {
    Add(fd);
}

FileWatch::~FileWatch() {
    for (const Watched& f : files_) ::close(f.fd);
}

void FileWatch::Add(int fd) {
    if (fd < 0) return;
    Watched f{fd};
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        f.size = info.st_size;
        f.modified = info.st_mtim;
    }
    files_.push_back(f);
}

bool FileWatch::Changed() const {
    for (const Watched& f : files_) {
        struct stat info {};
        if (::fstat(f.fd, &info) != 0) return true;
        if (info.st_size != f.size || info.st_mtim.tv_sec != f.modified.tv_sec ||
            info.st_mtim.tv_nsec != f.modified.tv_nsec)
            return true;
    }
    return false;
}

}  // namespace Audio::IO
