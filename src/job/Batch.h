#pragma once

// Batch work from scripts and clusters: lists of input names, the share of a
// list that one of N tasks takes, where a walked file's output goes, and one
// JSON line per ended job.

#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "filesystem/Path.h"
#include "job/Outcome.h"
#include "job/Request.h"

// Task `index` of `count` (0 <= index < count).
struct Shard {
    unsigned index = 0;
    unsigned count = 1;
};

// A shard text or name list that cannot be used; the message says why.
struct BatchInputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "I/N": decimal digits only on both sides, 1 <= N <= 1000000, I < N. Throws BatchInputError.
Shard ParseShard(std::string_view text);

// Every count-th item from index on. The list must be in the same order in every task (sorted,
// each file once), so that the tasks' shares are disjoint and cover it.
template <class T>
std::vector<T> TakeShard(std::vector<T> items, Shard shard) {
    std::vector<T> mine;
    for (std::size_t i = shard.index; i < items.size(); i += shard.count)
        mine.push_back(std::move(items[i]));
    return mine;
}

// The same over groups of items: items of one key(item) form one group, placed where its first
// item is, and every count-th group from index on is taken whole. Without two items of one key
// it takes what TakeShard takes.
template <class T, class KeyOf>
std::vector<T> TakeShard(std::vector<T> items, Shard shard, KeyOf key) {
    std::map<std::string, std::size_t> groups;  // key -> group number
    std::vector<T> mine;
    for (T& item : items) {
        const std::size_t group = groups.try_emplace(key(item), groups.size()).first->second;
        if (group % shard.count == shard.index) mine.push_back(std::move(item));
    }
    return mine;
}

// A key that two inputs of a batch share whenever their outputs could take one name: the
// output folder (as the job forms it, its links resolved) and the input's name without its
// extension, in lower case. Shards that keep such inputs together let the task converting them
// refuse the second one, as one run of the whole batch does.
std::string OutputNameGroup(const ConversionRequest& request, const Filesystem::Path& input,
                            const std::optional<Filesystem::Path>& walkedFrom);

// The names in `data`, separated by NUL bytes (`nulSeparated`) or by newlines; empty names are
// left out, every other byte belongs to a name. Throws BatchInputError for a name with a NUL
// byte in a newline-separated list.
std::vector<std::string> SplitNameList(std::string_view data, bool nulSeparated);
// SplitNameList of the file at `source` ("-": standard input). Throws BatchInputError when it
// cannot be read.
std::vector<std::string> ReadNameList(const std::string& source, bool nulSeparated);

// The folder below `outputFolder` that mirrors the folder of `file` below `walkedFrom` (the
// folder argument a walk found it in); `outputFolder` itself for a file directly in it, or
// for one that is not below it.
Filesystem::Path MirroredFolder(const Filesystem::Path& outputFolder,
                                const Filesystem::Path& walkedFrom, const Filesystem::Path& file);

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 are written as the escapes
// \udc80 ... \udcff of their value (the convention that lets a reader get the exact bytes back,
// as Python's "surrogateescape" does); control characters, '"' and '\' are escaped.
std::string JsonString(std::string_view text);

// One JSON object on one line (no newline) for a job that ended: input, output, state ("done",
// "failed", "aborted" or "skipped"), reason, warnings, rates, frame counts, sample type,
// container, seconds. Unknown figures are null.
std::string JobRecordJson(const JobRecord& record);
