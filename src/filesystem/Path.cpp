#include "filesystem/Path.h"

#include <algorithm>
#include <stdexcept>

namespace Filesystem {

namespace {

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

Path Path::Parse(std::string_view text, Kind kind) {
    if (text.empty()) return Path{Relative, Kind::Directory, {}};
    if (text.find('\0') != std::string_view::npos)
        throw std::invalid_argument("path contains a NUL character");

    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) throw std::out_of_range("path is blank");
    const std::size_t last = text.find_last_not_of(" \t");
    std::string rest(text.substr(first, last - first + 1));
    std::replace(rest.begin(), rest.end(), '\\', '/');

    Path path;
    if (rest.front() == '/') {
        path.root = Rooted;
        rest.erase(0, 1);
    } else if (rest.size() >= 3 && rest[1] == ':' && rest[2] == '/' && IsAsciiLetter(rest[0])) {
        // Only "X:" directly before the first separator is a drive; "ab:/x" stays relative.
        path.root = static_cast<std::uint8_t>(AsciiUpper(rest[0]));
        rest.erase(0, 3);
    }

    if (rest.empty()) {
        path.entryKind = Kind::Directory;
    } else if (rest.back() == '/') {
        rest.pop_back();
        path.entryKind = Kind::Directory;
    } else {
        path.entryKind = kind;
    }
    path.body = std::move(rest);
    return path;
}

Path Path::FromNative(std::string_view text, Kind kind) {
#ifdef _WIN32
    return Parse(text, kind);
#else
    if (text.find('\0') != std::string_view::npos)
        throw std::invalid_argument("path contains a NUL character");
    Path path{Relative, Kind::Directory, std::string(text)};
    if (!path.body.empty() && path.body.front() == '/') {
        path.root = Rooted;
        path.body.erase(0, 1);
    }
    if (path.body.empty()) return path;
    if (path.body.back() == '/')
        path.body.pop_back();
    else
        path.entryKind = kind;
    return path;
#endif
}

std::string Path::RootText() const {
    switch (root) {
        case Relative:
            return {};
        case Rooted:
            return "/";
        default:
            return {static_cast<char>(root), ':', '/'};
    }
}

std::string Path::ToString(char separator) const {
    std::string text = RootText() + body;
    std::replace(text.begin(), text.end(), '/', separator);
    if (entryKind == Kind::Directory && !body.empty()) text += separator;
    return text;
}

Path Path::Parent() const {
    if (body.empty()) throw NoParent{};
    const std::size_t slash = body.rfind('/');
    const std::size_t keep = (slash == std::string::npos) ? 0 : slash;
    return Path{root, Kind::Directory, body.substr(0, keep)};
}

std::string Path::Leaf() const {
    const std::size_t slash = body.rfind('/');
    return slash == std::string::npos ? body : body.substr(slash + 1);
}

std::string Path::Extension() const {
    const std::string leaf = Leaf();
    const std::size_t dot = leaf.rfind('.');
    return dot == std::string::npos ? std::string() : leaf.substr(dot);
}

Path Path::Join(const Path& base, const Path& relative) {
    if (relative.root == Relative) {
        Path joined{base.root, relative.entryKind, base.body};
        if (!joined.body.empty() && !relative.body.empty()) joined.body += '/';
        joined.body += relative.body;
        return joined;
    }
    if (relative.root == Rooted && base.root != Relative && base.root != Rooted)
        return Path{base.root, relative.entryKind, relative.body};
    return relative;
}

}  // namespace Filesystem
