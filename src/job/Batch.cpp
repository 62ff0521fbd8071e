#include "job/Batch.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "job/JobQueue.h"

namespace {

// Digits only, at most 7 of them (up to 9999999); -1 otherwise.
long parseCount(std::string_view t) {
    if (t.empty() || t.size() > 7) return -1;
    long v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// Length of the UTF-8 sequence at p (bytes left: n), or 0 when it is not one: overlong forms,
// surrogates and code points past U+10FFFF are not.
std::size_t utf8Length(const unsigned char* p, std::size_t n) {
    const unsigned char c = p[0];
    std::size_t len = 0;
    std::uint32_t min = 0, cp = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) len = 2, min = 0x80, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) len = 3, min = 0x800, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) len = 4, min = 0x10000, cp = c & 0x07;
    else return 0;
    if (n < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// A figure, or null when it is not known.
std::string number(double v, bool known) {
    if (!known || !std::isfinite(v)) return "null";
    char b[40];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(b, sizeof b, "%.0f", v);
    else
        std::snprintf(b, sizeof b, "%.6g", v);
    return b;
}

std::string count(std::int64_t v) {
    return v < 0 ? "null" : std::to_string(v);
}

}  // namespace

std::string OutputNameGroup(const ConversionRequest& request, const Filesystem::Path& input,
                            const std::optional<Filesystem::Path>& walkedFrom) {
    const OutputOptions options = OutputOptionsFor(request, input, walkedFrom);
    const Filesystem::Path folder = options.directory ? *options.directory : input.Parent();
    std::error_code ec;
    std::string where = std::filesystem::weakly_canonical(folder.NativeText(), ec).string();
    if (ec) where = folder.NativeText();
    std::string stem = input.Leaf();
    if (const std::size_t dot = stem.rfind('.'); dot != std::string::npos) stem.resize(dot);
    for (char& c : stem)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return where + '\0' + stem;
}

Shard ParseShard(std::string_view text) {
    const std::size_t slash = text.find('/');
    const long index = slash == std::string_view::npos ? -1 : parseCount(text.substr(0, slash));
    const long total = slash == std::string_view::npos ? -1 : parseCount(text.substr(slash + 1));
    if (index < 0 || total < 0)
        throw BatchInputError("'" + std::string(text) +
                              "' is not I/N (task I of N, both whole numbers, I from 0)");
    if (total < 1 || total > 1000000)
        throw BatchInputError("'" + std::string(text) + "': N must be 1 to 1000000");
    if (index >= total)
        throw BatchInputError("'" + std::string(text) + "': I must be below N (tasks count from 0)");
    return Shard{static_cast<unsigned>(index), static_cast<unsigned>(total)};
}

std::vector<std::string> SplitNameList(std::string_view data, bool nulSeparated) {
    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::string> names;
    std::size_t from = 0;
    while (from < data.size()) {
        std::size_t end = data.find(separator, from);
        if (end == std::string_view::npos) end = data.size();
        std::string_view name = data.substr(from, end - from);
        // A list written with CRLF line ends (on Windows, or by its tools) names the files
        // without the carriage return: no one means a name that ends in one.
        if (!nulSeparated && name.ends_with('\r')) name.remove_suffix(1);
        if (name.find('\0') != std::string_view::npos)
            throw BatchInputError(
                "the list holds a NUL byte: a list of NUL-separated names needs -0");
        if (!name.empty()) names.emplace_back(name);
        from = end + 1;
    }
    return names;
}

std::vector<std::string> ReadNameList(const std::string& source, bool nulSeparated) {
    const bool standardInput = source == "-";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        standardInput ? stdin : std::fopen(source.c_str(), "rb"),
        standardInput ? +[](std::FILE*) { return 0; } : &std::fclose);
    if (!file) throw BatchInputError("cannot read " + source + ": " + std::strerror(errno));
    std::string data;
    char buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        data.append(buffer, got);
        if (got < sizeof buffer) break;
    }
    if (std::ferror(file.get()))
        throw BatchInputError("cannot read " + (standardInput ? "standard input" : source) + ": " +
                              std::strerror(errno));
    return SplitNameList(data, nulSeparated);
}

Filesystem::Path MirroredFolder(const Filesystem::Path& outputFolder,
                                const Filesystem::Path& walkedFrom, const Filesystem::Path& file) {
    const std::string& base = walkedFrom.body;
    const std::string& body = file.body;
    const std::size_t slash = body.rfind('/');
    if (file.root != walkedFrom.root || slash == std::string::npos) return outputFolder;
    const std::string folder = body.substr(0, slash);
    // Below the base: the base is empty (the root or ".") or a whole leading part of the folder.
    std::string below;
    if (base.empty())
        below = folder;
    else if (folder.size() > base.size() && folder.compare(0, base.size(), base) == 0 &&
             folder[base.size()] == '/')
        below = folder.substr(base.size() + 1);
    else
        return outputFolder;
    Filesystem::Path sub;
    sub.root = Filesystem::Path::Relative;
    sub.entryKind = Filesystem::Path::Kind::Directory;
    sub.body = below;
    return Filesystem::Path::Join(outputFolder, sub);
}

std::string JsonString(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            switch (c) {
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default: out += "\\u00", out += hex[c >> 4], out += hex[c & 15];
            }
            ++i;
        } else if (const std::size_t len = utf8Length(p + i, n - i); len != 0) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            out += "\\udc", out += hex[c >> 4], out += hex[c & 15];
            ++i;
        }
    }
    return out + "\"";
}

std::string JobRecordJson(const JobRecord& r) {
    const bool done = r.state == JobState::Finished;
    const char* state = r.skipped ? "skipped"
                        : done    ? "done"
                        : r.text == "aborted" ? "aborted"
                                              : "failed";
    const JobFigures& f = r.figures;
    std::string j;
    auto field = [&j](const char* name, const std::string& value) {
        j += j.empty() ? "{\"" : ",\"";
        j += name;
        j += "\":";
        j += value;
    };
    field("input", JsonString(r.input.NativeText()));
    field("output", r.output ? JsonString(r.output->NativeText()) : "null");
    field("state", JsonString(state));
    field("reason", done ? "null" : JsonString(r.text));
    std::string warnings = "[";
    for (std::size_t i = 0; i < r.warnings.size(); ++i) {
        if (i) warnings += ',';
        warnings += JsonString(r.warnings[i]);
    }
    field("warnings", warnings + "]");
    field("input_rate", number(f.inputRate, f.inputRate > 0));
    field("output_rate", number(f.outputRate, f.outputRate > 0));
    field("frames_in", count(f.framesIn));
    field("frames_out", count(f.framesOut));
    // Not known (a name refused before its job): null, as every figure.
    auto text = [](const std::string& v) {
        return v.empty() ? std::string("null") : JsonString(v);
    };
    field("sample_type", text(f.sampleType));
    field("container", text(f.container));
    // Levels in dB; silence (-infinity dB) is null.
    auto db = [](double v) { return number(v, std::isfinite(v)); };
    if (r.peaks) {
        const PeakFigures& p = *r.peaks;
        field("peak_dbfs", db(p.overallSamplePeakDbfs));
        std::string channels = "[";
        for (std::size_t i = 0; i < p.samplePeakDbfs.size(); ++i) {
            if (i) channels += ',';
            channels += db(p.samplePeakDbfs[i]);
        }
        field("channel_peaks_dbfs", channels + "]");
        field("true_peak_dbtp", db(p.truePeakDbtp));
        field("clipped_samples", std::to_string(p.clampedSamples));
        field("gain", number(p.gain, true));
    } else {
        for (const char* name :
             {"peak_dbfs", "channel_peaks_dbfs", "true_peak_dbtp", "clipped_samples", "gain"})
            field(name, "null");
    }
    field("seconds", number(f.seconds, true));
    return j + "}";
}
