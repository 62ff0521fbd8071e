// libFuzzer target: Filesystem::Path::Parse and the operations on its result.
// First byte: the kind; the rest: the text.

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "filesystem/Path.h"

using Filesystem::Path;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto kind = static_cast<Path::Kind>(data[0] % 3);
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    Path p;
    try {
        p = Path::Parse(text, kind);
    } catch (const std::out_of_range&) {
        return 0;  // only blanks
    } catch (const std::invalid_argument&) {
        return 0;  // a NUL character
    }
    // The normal form: a root that is a known value, "/" as the only separator.
    if (p.root != Path::Relative && p.root != Path::Rooted && !(p.root >= 'A' && p.root <= 'Z'))
        std::abort();
    if (p.body.find('\\') != std::string::npos) std::abort();

    // Printing and parsing again is stable: the printed text parses to the same path, except
    // that a relative directory "X:" prints as the drive root "X:/"; from there on it is fixed.
    const std::string slash = p.ToString('/');
    const Path q = Path::Parse(slash, kind);
    const bool driveLike =
        p.root == Path::Relative && slash.size() >= 3 && slash[1] == ':' && slash[2] == '/';
    if (q != p && !driveLike) std::abort();
    if (Path::Parse(q.ToString('/'), kind) != q) std::abort();
    if (Path::Parse(q.ToString('\\'), kind) != q) std::abort();

    const std::string leaf = p.Leaf();
    const std::string ext = p.Extension();
    if (ext.size() > leaf.size() || leaf.compare(leaf.size() - ext.size(), ext.size(), ext) != 0)
        std::abort();
    if (leaf.find('/') != std::string::npos) std::abort();

    // Walking up ends at the root in at most as many steps as the body has characters.
    Path up = p;
    std::size_t steps = 0;
    while (true) {
        try {
            Path parent = up.Parent();
            if (parent.root != p.root || parent.body.size() >= up.body.size()) std::abort();
            up = parent;
        } catch (const Path::NoParent&) {
            break;
        }
        if (++steps > p.body.size()) std::abort();
    }

    // The leaf joined to the parent stays under it (Parse trims the leaf's blanks).
    if (!p.body.empty() && leaf.find_first_not_of(" \t") != std::string::npos) {
        const Path parent = p.Parent();
        const Path joined = Path::Join(parent, Path::Parse(leaf, Path::Kind::File));
        if (joined.root != p.root || joined.body.compare(0, parent.body.size(), parent.body) != 0)
            std::abort();
    }
    (void)Path::Join(p, p);
    return 0;
}
