#pragma once

// Which of the paths a user hands over (file dialog, drop, command line) become jobs: audio files
// by extension, folders walked recursively, and no second job for a file already waiting or
// converting.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "filesystem/Path.h"

enum class PathClass { Ignored, Directory, File };

// What the file system holds at a path, symbolic links followed.
enum class EntryType {
    Missing,  // nothing there, a dangling link, or not accessible
    Directory,
    RegularFile,
    Other,  // FIFO, socket, device: never converted (opening a FIFO would block a worker)
};

// The entry type at `path` (its native text). Never throws.
EntryType QueryEntryType(const Filesystem::Path& path) noexcept;

// True when the extension is ".wav" or ".wv" in any letter case. The input opener compares
// extensions exactly, so "TAKE.WAV" is accepted here and then fails to open.
bool HasAudioExtension(const Filesystem::Path& path);

// "." and ".." leaves are ignored, directories are walked, regular files with an audio extension
// are converted; everything else is ignored.
PathClass ClassifyPath(const Filesystem::Path& path, EntryType type);
inline PathClass ClassifyPath(const Filesystem::Path& path) {
    return ClassifyPath(path, QueryEntryType(path));
}

// Hands every file `path` stands for to `addFile`: the path itself when it is an accepted file,
// every accepted file below it when it is a directory, nothing otherwise.
//
// A directory is listed completely before any of its entries is handed on, so outputs that jobs
// write next to their inputs meanwhile are not picked up. Within a directory, files and
// subdirectories are taken in one order: by name, letters compared without regard to case
// (ASCII), ties by byte value; a subdirectory is walked where it falls in that order, without a
// depth limit. Links are followed, but each directory (by its canonical path) is walked once per
// call, which ends link loops and keeps two jobs from writing the same output through two names
// of one folder. Every name the file system holds is taken as it is. Unreadable directories and
// entries are skipped silently. Exceptions from `addFile` propagate.
void AddPath(const Filesystem::Path& path,
             const std::function<void(const Filesystem::Path&)>& addFile);

// AddPath collecting the files in order.
std::vector<Filesystem::Path> CollectAcceptedFiles(const Filesystem::Path& path);

// A job-list row as the duplicate test sees it. `state` holds the row's JobState value:
// Queued 0, Running 1, Failed 2, Finished 3.
struct RowPathState {
    const Filesystem::Path* path;
    std::int32_t state;
};

inline constexpr std::int32_t kRowQueued = 0;
inline constexpr std::int32_t kRowRunning = 1;

// True when a Queued or Running row has the same root and a byte-identical body as `path`
// (the entry kind is not compared): such a file is not added again. Failed and finished rows
// do not count, so a file can be converted again after its job ended.
bool IsQueuedOrRunning(const Filesystem::Path& path, std::span<const RowPathState> rows);
