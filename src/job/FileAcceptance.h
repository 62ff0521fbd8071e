#pragma once

// Which of the paths a user hands over (file dialog, drop, command line) become jobs: audio files
// by extension, folders walked recursively, and no second job for a file already waiting or
// converting.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
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

// True when the extension is ".wav", ".wv", ".aif", ".aiff", ".aifc" or ".flac" in any letter
// case, as the input opener takes them.
bool HasAudioExtension(const Filesystem::Path& path);

// "." and ".." leaves are ignored, directories are walked, regular files with an audio extension
// are converted; everything else is ignored.
PathClass ClassifyPath(const Filesystem::Path& path, EntryType type);
inline PathClass ClassifyPath(const Filesystem::Path& path) {
    return ClassifyPath(path, QueryEntryType(path));
}

// What a walk left out that the user should hear of.
struct WalkReport {
    std::size_t earlierOutputs = 0;  // files named like outputs of an earlier run
    std::vector<std::string> earlierOutputFiles;  // their names
    // Folders that could not be entered or listed, their files left out: the folder, and why.
    std::vector<std::pair<std::string, std::string>> unreadableFolders;
    // The path given itself, when it is neither an accepted file nor a folder: it, and why.
    std::vector<std::pair<std::string, std::string>> notTaken;
};

// The name of the folder `name` as a walk takes it: lexically normal, without a trailing '/',
// and absolute when it ends in "." or ".." (a walk leaves entries of those names out).
std::string FolderArgument(const std::string& name);

// Why `path` is neither an accepted file nor a folder: "no such file or directory" (or the
// reason it cannot be reached), "not a .wav, .wv, .aif, .aiff, .aifc or .flac file", "not a
// regular file".
std::string WhyNotTaken(const Filesystem::Path& path);

// Hands every file `path` stands for to `addFile`: the path itself when it is an accepted file
// (whatever its name), every accepted file below it when it is a directory, nothing otherwise.
//
// A directory is listed completely before any of its entries is handed on, so outputs that jobs
// write next to their inputs meanwhile are not picked up. Within a directory, files and
// subdirectories are taken in one order: by name, letters compared without regard to case
// (ASCII), ties by byte value; a subdirectory is walked where it falls in that order, without a
// depth limit. The walk stays inside `path`: links to directories are not followed (links to
// files are), and no directory (by device and inode) is entered twice. Files named like outputs
// (HasOutputSuffix) are left out and counted in `report`, so that walking a folder again does
// not convert the last run's outputs. Every name the file system holds is taken as it is.
// Directories that cannot be listed are named in `report` (their files would be lost without a
// word), and so is `path` when it is taken for nothing; entries whose type cannot be read are
// skipped. Exceptions from `addFile` propagate.
void AddPath(const Filesystem::Path& path,
             const std::function<void(const Filesystem::Path&)>& addFile,
             WalkReport* report = nullptr);

// AddPath collecting the files in order.
std::vector<Filesystem::Path> CollectAcceptedFiles(const Filesystem::Path& path,
                                                   WalkReport* report = nullptr);

// True when the leaf ends, before its extension, in the suffix a conversion gives its output:
// " [<rate><i|f><bits> speed=<s> gain=<g> delay=<d>]".
bool HasOutputSuffix(const Filesystem::Path& path);

// What a name refers to, links followed: its device and inode.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    auto operator<=>(const FileId&) const = default;
};

// The identity of the entry at `nativeText`, or none when it cannot be queried. Never throws.
std::optional<FileId> IdentityOf(const std::string& nativeText) noexcept;

// `files` in an order that does not depend on the order they came in (by absolute name, each
// component compared as a walk compares names, ties by bytes), each file (device and inode)
// once: of several names of one file ("x.wav" and "./x.wav", a link, a hard link) the first
// that reaches it without a link or "." / ".." is kept, else the first. Each name left out is
// added to `dropped` with the name kept.
std::vector<Filesystem::Path> DistinctFilesInOrder(
    std::vector<Filesystem::Path> files,
    std::vector<std::pair<Filesystem::Path, Filesystem::Path>>* dropped = nullptr);

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
