#include "job/FileAcceptance.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
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

// The identity of the directory at `text` itself, or none when it is not one (a link to one
// included). A name that cannot be looked up sets `error`: too long, no permission, or gone
// since its folder was listed (renamed or removed meanwhile: its files are not walked).
std::optional<FileId> OwnDirectoryId(const std::string& text, std::error_code& error) {
    struct stat info {};
    if (::lstat(text.c_str(), &info) != 0) {
        error.assign(errno, std::generic_category());
        return std::nullopt;
    }
    if (!S_ISDIR(info.st_mode)) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
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

// The directory's entries sorted by name; links to directories are left out, as they would lead
// the walk out of the folder it was given. A directory that cannot be listed (to its end) is
// named in `report`.
std::vector<Entry> ListDirectory(const fs::path& directory, WalkReport* report) {
    std::vector<Entry> entries;
    std::error_code error;
    fs::directory_iterator it(directory, error);
    const fs::directory_iterator end;
    while (!error && it != end) {
        std::error_code statusError;
        const fs::file_status own = it->symlink_status(statusError);
        EntryType type = statusError ? EntryType::Missing : TypeOf(own);
        if (!statusError && fs::is_symlink(own)) {
            const fs::file_status target = it->status(statusError);  // a link to a file is fine
            type = statusError ? EntryType::Missing : TypeOf(target);
        }
        if (statusError && statusError != std::errc::no_such_file_or_directory) {
            // Listed but not reachable by its name (too long, a folder without search
            // permission): taken as the listing's type, so that its walk or its job says why
            // (it was passed over without a word).
            // A link that cannot be followed is taken as a file (links to folders are not
            // walked): named like audio, its job says why it cannot be read.
            std::error_code cached;
            if (it->is_directory(cached))
                type = EntryType::Directory;
            else if (it->is_regular_file(cached) || it->is_symlink(cached))
                type = EntryType::RegularFile;
        }
        if (!(type == EntryType::Directory && fs::is_symlink(own)))
            entries.push_back({it->path().filename().string(), type});
        it.increment(error);
    }
    if (error && report)
        report->unreadableFolders.emplace_back(directory.string(), error.message());
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
                  const std::function<void(const Filesystem::Path&)>& addFile, WalkReport* report) {
    std::set<FileId> walked;
    const std::optional<FileId> rootId = IdentityOf(root.NativeText());  // named: links followed
    if (!rootId) return;
    walked.insert(*rootId);

    // Depth first with an explicit stack, so deep trees cannot exhaust the call stack.
    std::vector<Frame> stack;
    stack.push_back({root, ListDirectory(fs::path(root.NativeText()), report), 0});
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
                if (HasOutputSuffix(child)) {
                    if (report) {
                        ++report->earlierOutputs;
                        report->earlierOutputFiles.push_back(child.NativeText());
                    }
                } else {
                    addFile(child);
                }
                break;
            case PathClass::Directory: {
                // Checked again as it is entered: a folder replaced by a link is not followed.
                const std::string text = child.NativeText();
                std::error_code error;
                const std::optional<FileId> id = OwnDirectoryId(text, error);
                // A folder that cannot be entered is named, not passed over without a word.
                if (error && report) report->unreadableFolders.emplace_back(text, error.message());
                if (!id || !walked.insert(*id).second) break;
                // (invalidates `frame`)
                stack.push_back({child, ListDirectory(fs::path(text), report), 0});
                break;
            }
            case PathClass::Ignored:
                break;
        }
    }
}

// The absolute name of `path`, without "." and ".." (taken lexically), in components.
std::vector<std::string> OrderKey(const std::string& text) {
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(text), error);
    if (error) absolute = fs::path(text);
    std::vector<std::string> parts;
    for (const fs::path& part : absolute.lexically_normal()) parts.push_back(part.string());
    return parts;
}

// True when `text` reaches its file without a link and without "." or "..".
bool IsDirectName(const std::string& text) {
    std::error_code error;
    const fs::path absolute = fs::absolute(fs::path(text), error);
    if (error) return false;
    const fs::path canonical = fs::canonical(absolute, error);
    return !error && canonical == absolute;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsValueChar(char c) {
    return c != ' ' && c != '[' && c != ']';
}

// Moves `at` past the characters of `text` that `accept` takes; true when there was one.
bool SkipRun(std::string_view text, std::size_t& at, bool (*accept)(char)) {
    const std::size_t from = at;
    while (at < text.size() && accept(text[at])) ++at;
    return at > from;
}

// Moves `at` past `word` when `text` holds it there.
bool SkipWord(std::string_view text, std::size_t& at, std::string_view word) {
    if (text.substr(at).substr(0, word.size()) != word) return false;
    at += word.size();
    return true;
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
    for (const char* accepted : {".wav", ".wv", ".aif", ".aiff", ".aifc", ".flac"})
        if (EqualsIgnoringCase(extension, accepted)) return true;
    return false;
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
             const std::function<void(const Filesystem::Path&)>& addFile, WalkReport* report) {
    switch (ClassifyPath(path)) {
        case PathClass::File:
            addFile(path);
            break;
        case PathClass::Directory:
            AddDirectory(path, addFile, report);
            break;
        case PathClass::Ignored:
            if (report) report->notTaken.emplace_back(path.NativeText(), WhyNotTaken(path));
            break;
    }
}

std::string FolderArgument(const std::string& name) {
    auto normal = [](const fs::path& f) {
        std::string t = f.lexically_normal().string();
        while (t.size() > 1 && t.back() == '/') t.pop_back();
        return t;
    };
    std::string text = normal(name);
    const fs::path leaf = fs::path(text).filename();
    std::error_code ec;
    if (leaf == "." || leaf == "..") {
        const fs::path absolute = fs::absolute(name, ec);
        if (!ec) text = normal(absolute);
    }
    return text;
}

std::string WhyNotTaken(const Filesystem::Path& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(fs::path(path.NativeText()), ec);
    if (ec || !fs::exists(st))
        return ec && ec != std::errc::no_such_file_or_directory ? ec.message()
                                                                : "no such file or directory";
    if (fs::is_regular_file(st)) return "not a .wav, .wv, .aif, .aiff, .aifc or .flac file";
    if (fs::is_directory(st)) return "a folder named \".\" or \"..\" is not walked";
    return "not a regular file";
}

std::vector<Filesystem::Path> CollectAcceptedFiles(const Filesystem::Path& path,
                                                   WalkReport* report) {
    std::vector<Filesystem::Path> files;
    const auto add = [&](const Filesystem::Path& file) { files.push_back(file); };
    AddPath(path, add, report);
    return files;
}

bool HasOutputSuffix(const Filesystem::Path& path) {
    const std::string leaf = path.Leaf();
    const std::size_t dot = leaf.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string_view stem(leaf.data(), dot);
    const std::size_t open = stem.rfind(" [");
    if (open == std::string_view::npos || !stem.ends_with(']')) return false;
    const std::string_view inside = stem.substr(open + 2, stem.size() - open - 3);
    std::size_t at = 0;
    // The rate as "%.8g" writes it, then the sample type.
    if (!SkipRun(inside, at, IsDigit)) return false;
    if (SkipWord(inside, at, ".") && !SkipRun(inside, at, IsDigit)) return false;
    if (SkipWord(inside, at, "e")) {
        if (!SkipWord(inside, at, "+")) SkipWord(inside, at, "-");
        if (!SkipRun(inside, at, IsDigit)) return false;
    }
    if (!SkipWord(inside, at, "i") && !SkipWord(inside, at, "f")) return false;
    if (!SkipRun(inside, at, IsDigit)) return false;
    for (const std::string_view field : {" speed=", " gain=", " delay="})
        if (!SkipWord(inside, at, field) || !SkipRun(inside, at, IsValueChar)) return false;
    return at == inside.size();
}

std::optional<FileId> IdentityOf(const std::string& nativeText) noexcept {
    struct stat info {};
    if (::stat(nativeText.c_str(), &info) != 0) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::vector<Filesystem::Path> DistinctFilesInOrder(
    std::vector<Filesystem::Path> files,
    std::vector<std::pair<Filesystem::Path, Filesystem::Path>>* dropped) {
    struct Item {
        Filesystem::Path path;
        std::string text;
        std::vector<std::string> key;
        std::optional<FileId> id;
    };
    std::vector<Item> items;
    items.reserve(files.size());
    for (Filesystem::Path& file : files) {
        std::string text = file.NativeText();
        std::vector<std::string> key = OrderKey(text);
        const std::optional<FileId> id = IdentityOf(text);
        items.push_back({std::move(file), std::move(text), std::move(key), id});
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        if (a.key != b.key)
            return std::lexicographical_compare(a.key.begin(), a.key.end(), b.key.begin(),
                                                b.key.end(), NameBefore);
        return a.text < b.text;
    });

    // The name kept for each file: the first direct one, else the first.
    std::map<FileId, std::size_t> keptFor;
    std::map<FileId, bool> keptIsDirect;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].id) continue;
        const auto [at, first] = keptFor.try_emplace(*items[i].id, i);
        if (first) continue;
        bool& direct = keptIsDirect.try_emplace(*items[i].id, IsDirectName(items[at->second].text))
                           .first->second;
        if (!direct && IsDirectName(items[i].text)) {
            at->second = i;
            direct = true;
        }
    }
    std::vector<Filesystem::Path> distinct;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::size_t kept = items[i].id ? keptFor.at(*items[i].id) : i;
        if (kept == i)
            distinct.push_back(items[i].path);
        else if (dropped)
            dropped->emplace_back(items[i].path, items[kept].path);
    }
    return distinct;
}

bool IsQueuedOrRunning(const Filesystem::Path& path, std::span<const RowPathState> rows) {
    return std::any_of(rows.begin(), rows.end(), [&](const RowPathState& row) {
        return (row.state == kRowQueued || row.state == kRowRunning) && row.path != nullptr &&
               row.path->root == path.root && row.path->body == path.body;
    });
}
