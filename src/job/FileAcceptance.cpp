#include "job/FileAcceptance.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// Case-insensitive (ASCII) order, ties broken by byte value: a total order.
bool NameBefore(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return static_cast<unsigned char>(AsciiLower(c)); };
    const bool less =
        std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                     [&](char x, char y) { return lower(x) < lower(y); });
    if (less) return true;
    const bool greater =
        std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                     [&](char x, char y) { return lower(x) < lower(y); });
    if (greater) return false;
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

EntryType TypeOf(const fs::file_status& status) {
    switch (status.type()) {
        case fs::file_type::directory:
            return EntryType::Directory;
        case fs::file_type::regular:
            return EntryType::RegularFile;
        case fs::file_type::none:
        case fs::file_type::not_found:
        case fs::file_type::unknown:
            return EntryType::Missing;
        default:
            return EntryType::Other;
    }
}

// The canonical text of a directory, or empty when it cannot be resolved.
std::string CanonicalText(const fs::path& directory) {
    std::error_code error;
    fs::path canonical = fs::canonical(directory, error);
    return error ? std::string() : canonical.string();
}

// The entry name as a relative Path, or nothing when parsing would change the name.
bool ParseEntryName(const std::string& name, Filesystem::Path& out) {
    try {
        out = Filesystem::Path::FromNative(name, Filesystem::Path::Kind::Either);
    } catch (const std::exception&) {
        return false;
    }
    return out.root == Filesystem::Path::Relative && out.body == name &&
           out.entryKind == Filesystem::Path::Kind::Either;
}

struct Entry {
    std::string name;
    EntryType type;
};

// The directory's entries sorted by name; what cannot be read is left out.
std::vector<Entry> ListDirectory(const fs::path& directory) {
    std::vector<Entry> entries;
    std::error_code error;
    fs::directory_iterator it(directory, error);
    const fs::directory_iterator end;
    while (!error && it != end) {
        std::error_code statusError;
        const fs::file_status status = it->status(statusError);  // follows links
        entries.push_back(
            {it->path().filename().string(), statusError ? EntryType::Missing : TypeOf(status)});
        it.increment(error);
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return NameBefore(a.name, b.name); });
    return entries;
}

struct Frame {
    Filesystem::Path directory;
    std::vector<Entry> entries;
    std::size_t next = 0;
};

void AddDirectory(const Filesystem::Path& root,
                  const std::function<void(const Filesystem::Path&)>& addFile) {
    std::set<std::string> walked;
    const std::string rootText = CanonicalText(fs::path(root.NativeText()));
    if (rootText.empty()) return;
    walked.insert(rootText);

    // Depth first with an explicit stack, so deep trees cannot exhaust the call stack.
    std::vector<Frame> stack;
    stack.push_back({root, ListDirectory(fs::path(root.NativeText())), 0});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            stack.pop_back();
            continue;
        }
        const Entry entry = frame.entries[frame.next++];
        Filesystem::Path name;
        if (!ParseEntryName(entry.name, name)) continue;
        const Filesystem::Path child = Filesystem::Path::Join(frame.directory, name);
        switch (ClassifyPath(child, entry.type)) {
            case PathClass::File:
                addFile(child);
                break;
            case PathClass::Directory: {
                const fs::path native(child.NativeText());
                const std::string canonical = CanonicalText(native);
                if (canonical.empty() || !walked.insert(canonical).second) break;
                stack.push_back({child, ListDirectory(native), 0});  // invalidates `frame`
                break;
            }
            case PathClass::Ignored:
                break;
        }
    }
}

}  // namespace

EntryType QueryEntryType(const Filesystem::Path& path) noexcept {
    try {
        std::error_code error;
        const fs::file_status status = fs::status(fs::path(path.NativeText()), error);
        return error ? EntryType::Missing : TypeOf(status);
    } catch (...) {  // allocation failure while building the text
        return EntryType::Missing;
    }
}

bool HasAudioExtension(const Filesystem::Path& path) {
    const std::string extension = path.Extension();
    return EqualsIgnoringCase(extension, ".wav") || EqualsIgnoringCase(extension, ".wv");
}

PathClass ClassifyPath(const Filesystem::Path& path, EntryType type) {
    const std::string leaf = path.Leaf();
    if (leaf == "." || leaf == "..") return PathClass::Ignored;
    switch (type) {
        case EntryType::Directory:
            return PathClass::Directory;
        case EntryType::RegularFile:
            return HasAudioExtension(path) ? PathClass::File : PathClass::Ignored;
        default:
            return PathClass::Ignored;
    }
}

void AddPath(const Filesystem::Path& path,
             const std::function<void(const Filesystem::Path&)>& addFile) {
    switch (ClassifyPath(path)) {
        case PathClass::File:
            addFile(path);
            break;
        case PathClass::Directory:
            AddDirectory(path, addFile);
            break;
        case PathClass::Ignored:
            break;
    }
}

std::vector<Filesystem::Path> CollectAcceptedFiles(const Filesystem::Path& path) {
    std::vector<Filesystem::Path> files;
    AddPath(path, [&](const Filesystem::Path& file) { files.push_back(file); });
    return files;
}

bool IsQueuedOrRunning(const Filesystem::Path& path, std::span<const RowPathState> rows) {
    return std::any_of(rows.begin(), rows.end(), [&](const RowPathState& row) {
        return (row.state == kRowQueued || row.state == kRowRunning) && row.path != nullptr &&
               row.path->root == path.root && row.path->body == path.body;
    });
}
