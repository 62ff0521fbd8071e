#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Filesystem {

// A file-system path in normal form: a root, a kind and a body.
//
// `body` holds the components after the root joined with "/", whatever separator the text
// used, without a leading root and without a trailing "/" (empty for a bare root or an empty
// path). Dot, dot-dot and repeated separators stay as written. Text with a platform separator is
// made again only where a file is opened or shown (ToString, NativeText).
//
// A plain value: copy and compare freely.
struct Path {
    // Thrown by users of Path for a name that has no "." in its body.
    struct NoExtension {};
    // Thrown by Parent for a path whose body is empty.
    struct NoParent {};

    enum class Kind : std::uint8_t { Either = 0, Directory = 1, File = 2 };

    // Values of `root` other than a drive letter.
    static constexpr std::uint8_t Relative = 0;
    static constexpr std::uint8_t Rooted = 1;  // "/", also \\server\share (body "/server/...")

#ifdef _WIN32
    static constexpr char nativeSeparator = '\\';
#else
    static constexpr char nativeSeparator = '/';
#endif

    // Relative, Rooted, or an upper-case drive letter 'A'..'Z'.
    std::uint8_t root = Relative;
    Kind entryKind = Kind::Directory;
    std::string body;

    // Parses text by Windows rules: blanks and tabs are trimmed from both ends, "\" and "/" are
    // both separators, "X:" followed by a separator (X a letter) is a drive root, a leading
    // separator is the "/" root. A trailing separator makes a directory; otherwise the entry gets
    // `kind`. The empty text is the empty relative directory. Throws std::out_of_range for a text
    // of only blanks and tabs, std::invalid_argument for a text containing a NUL character.
    static Path Parse(std::string_view text, Kind kind);

    // Parses a name as this system's file calls take it (a command-line argument, a name from a
    // file dialog or a folder listing), so that NativeText() gives the same bytes back. On POSIX
    // "/" is the only separator and a leading "/" the root; every other byte, blanks at either
    // end, "\" and ":" included, belongs to a name. A trailing "/" makes a directory; otherwise
    // the entry gets `kind`. On Windows this is Parse. The empty text is the empty relative
    // directory; throws std::invalid_argument for a text containing a NUL character.
    static Path FromNative(std::string_view text, Kind kind);

    // The root ("", "/" or "C:/") and body, every "/" replaced by `separator`; a directory with
    // a non-empty body gets one final separator.
    std::string ToString(char separator) const;

    // The text to open or show this path with on this platform.
    std::string NativeText() const {
        return ToString(nativeSeparator);
    }

    // "" for a relative path, "/" for Rooted, "C:/" for drive C.
    std::string RootText() const;

    // The directory containing this entry: the body up to its last "/", same root.
    // Throws NoParent if the body is empty.
    Path Parent() const;

    // The last component of the body; "" for an empty body.
    std::string Leaf() const;

    // The leaf from its last "." on, dot included (".wav"); "" if the leaf has no ".".
    std::string Extension() const;

    // `relative` placed inside `base`. A rooted `relative` on a drive `base` stays on that
    // drive; any other rooted or drive `relative` is returned unchanged.
    static Path Join(const Path& base, const Path& relative);

    bool operator==(const Path&) const = default;
};

}  // namespace Filesystem
