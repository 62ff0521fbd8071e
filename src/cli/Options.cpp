#include "cli/Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "job/SettingsModel.h"

const char* const kUsage =
    "Usage: tessival-cli [options] FILE_OR_FOLDER...\n"
    "Converts WAV, AIFF, FLAC and WavPack files (folders are walked recursively) to new\n"
    "WAVE files (or WavPack, raw, AIFF or FLAC files: --container).\n"
    "\n"
    "  -r, --rate HZ            output rate (44100; 0 = input rate x speed)\n"
    "  -t, --type TYPE          int8, int16, int24, int32, fp32 or fp64 (int16)\n"
    "  -s, --speed PERCENT      speed adjust (100)\n"
    "  -g, --gain DB            gain (0)\n"
    "      --sync-offset N      sync offset in output samples (0): only its fraction moves\n"
    "                           the samples (a whole offset goes into the delay)\n"
    "      --keep-pre-ring      keep the filters' pre-ring (no click)\n"
    "      --baseband HZ        pass band edge after the speed change (20000; 0 = unset)\n"
    "      --stopband HZ        stop band edge after the speed change (unset; 0 = unset)\n"
    "      --alias-guard-band   faster design that may alias above the pass band\n"
    "      --snr DB             filter signal-to-noise target (by type: int16 97, int24 145, ...;\n"
    "                           1 to 400, the filters go no further than 324)\n"
    "      --exact-length       trim to the input's length: round(frames x rate out / (rate in x\n"
    "                           speed)) frames after the pre-ring (the filters' tail is cut)\n"
    "      --no-metadata        leave out the input's tags, markers, loops and broadcast data\n"
    "                           (kept by default, every position rescaled)\n"
    "      --seed N             start every file's dither at N (0 to 2^64-1): the same input,\n"
    "                           settings and instruction set give the same bytes (a new seed\n"
    "                           per file without it)\n"
    "      --prevent-clipping   convert again with the gain lowered just enough when the output\n"
    "                           clips; the name shows the gain used\n"
    "      --ceiling DBTP       with --prevent-clipping or --fail-on-clip: keep the true peak\n"
    "                           (4x oversampled) at or below DBTP, e.g. -0.1 (-60 to +6); without\n"
    "                           it the limit is full scale on the samples (nothing clipped)\n"
    "      --fail-on-clip       an output that clips (or passes the ceiling) fails and is deleted\n"
    "  -j, --jobs N             workers: files converted at once (the number of processors); a\n"
    "                           worker left idle helps a running conversion (-j 1: one thread)\n"
    "  -o, --output-dir DIR     write outputs into DIR (must exist) instead of next to inputs;\n"
    "                           a folder's files go to the same sub-folders below DIR\n"
    "      --flat               with -o, every output directly in DIR\n"
    "      --if-exists WHAT     when an output exists: replace, skip or fail (replace)\n"
    "      --json               one JSON object per file on standard output as it ends\n"
    "      --files-from FILE    also convert the names listed in FILE, one a line (- = stdin)\n"
    "  -0, --null               the --files-from names are separated by NUL bytes\n"
    "      --shard I/N          convert only every N-th file of the sorted list, from the I-th "
    "(0-based)\n"
    "      --stdout             write the one output to standard output as a WAVE stream;\n"
    "                           an input named - is a WAVE stream read from standard input\n"
    "      --container C        wav, wv, raw, aiff or flac (wav); raw: samples alone,\n"
    "                           little-endian, int8 signed\n"
    "      --info               print each input's properties and MD5 instead of converting\n"
    "  -q, --quiet              no progress display\n"
    "  -h, --help               this text\n"
    "      --version            the version\n";

namespace {

// A plain decimal number: optional sign, digits with an optional fraction,
// an optional exponent. Nothing else (no blanks, hexadecimal, "inf" or
// "nan"), so the settings model, which reads decimal text, reads the same
// value the check saw.
bool isDecimal(const std::string& t) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t from = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
        return i - from;
    };
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t mantissa = digits();
    if (i < t.size() && t[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    return i == t.size();
}

// The whole text must be a finite decimal number.
double strictNumber(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double v = isDecimal(text) ? std::strtod(text.c_str(), &end) : 0.0;
    if (!isDecimal(text) || errno == ERANGE || !std::isfinite(v))
        throw UsageError("invalid value for " + option + ": '" + text + "' is not a number");
    return v;
}

// Digits only: a count, read the same way by every parser.
unsigned strictCount(const std::string& option, const std::string& text) {
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || text.size() > 7)
        throw UsageError("invalid value for " + option + ": '" + text + "' is not a whole number");
    return static_cast<unsigned>(std::stoul(text));
}

}  // namespace

CliOptions ParseOptions(const std::vector<std::string>& args) {
    CliOptions o;
    // Values by option, applied to the settings model in a fixed order below.
    std::map<std::string, std::string> values;
    static const std::map<std::string, std::string> shortNames = {
        {"-r", "--rate"}, {"-t", "--type"}, {"-s", "--speed"}, {"-g", "--gain"},
        {"-j", "--jobs"}, {"-o", "--output-dir"}, {"-q", "--quiet"}, {"-h", "--help"},
        {"-0", "--null"}};
    static const char* const withValue[] = {"--rate",     "--type",     "--speed",  "--gain",
                                            "--sync-offset", "--baseband", "--stopband", "--snr",
                                            "--jobs",     "--output-dir", "--container", "--make-demo",
                                            "--if-exists", "--files-from", "--shard", "--seed", "--ceiling"};
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            o.inputs.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = a, value;
        bool hasValue = false;
        if (a.rfind("--", 0) == 0) {
            auto eq = a.find('=');
            if (eq != std::string::npos) {
                name = a.substr(0, eq);
                value = a.substr(eq + 1);
                hasValue = true;
            }
        } else {
            std::string s = a.substr(0, 2);
            auto it = shortNames.find(s);
            if (it == shortNames.end()) throw UsageError("unknown option '" + a + "'");
            name = it->second;
            if (a.size() > 2) {
                value = a.substr(2);
                hasValue = true;
            }
        }
        bool needsValue = false;
        for (const char* w : withValue) needsValue |= name == w;
        if (needsValue) {
            if (!hasValue) {
                if (i + 1 >= args.size()) throw UsageError("option " + name + " needs a value");
                value = args[++i];
            }
            // A second list would replace the first: its files were left out, status 0.
            if (name == "--files-from" && values.count(name))
                throw UsageError("--files-from is given twice: give one list (join the lists)");
            values[name] = value;
            continue;
        }
        const bool flag = name == "--keep-pre-ring" || name == "--alias-guard-band" ||
                          name == "--info" || name == "--quiet" || name == "--help" ||
                          name == "--version" || name == "--flat" || name == "--json" ||
                          name == "--null" || name == "--stdout" || name == "--exact-length" ||
                          name == "--prevent-clipping" || name == "--fail-on-clip" ||
                          name == "--no-metadata";
        if (!flag) throw UsageError("unknown option '" + (hasValue ? name : a) + "'");
        if (hasValue) throw UsageError("option " + name + " takes no value");
        values.insert_or_assign(name, std::string(1, '1'));
    }
    o.help = values.count("--help");
    o.version = values.count("--version");
    o.info = values.count("--info");
    o.quiet = values.count("--quiet");
    if (values.count("--make-demo")) o.makeDemo = values["--make-demo"];

    SettingsModel model;
    model.Initialise();
    if (auto it = values.find("--type"); it != values.end()) {
        int index = -1;
        for (std::size_t k = 0; k < kSampleTypes.size(); ++k)
            if (kSampleTypes[k].text == it->second) index = static_cast<int>(k);
        if (index < 0)
            throw UsageError("invalid value for --type: '" + it->second +
                             "' (use int8, int16, int24, int32, fp32 or fp64)");
        model.OnSampleTypeChosen(index);
    }
    const std::pair<const char*, int> fields[] = {{"--rate", ControlId::kRate},
                                                   {"--speed", ControlId::kSpeed},
                                                   {"--gain", ControlId::kGain},
                                                   {"--sync-offset", ControlId::kSyncOffset},
                                                   {"--baseband", ControlId::kBasebandPostspeed},
                                                   {"--stopband", ControlId::kStopbandPostspeed}};
    for (auto [option, id] : fields) {
        auto it = values.find(option);
        if (it == values.end()) continue;
        double v = strictNumber(option, it->second);
        if ((id == ControlId::kRate || id == ControlId::kBasebandPostspeed ||
             id == ControlId::kStopbandPostspeed) && v < 0)
            throw UsageError(std::string("invalid value for ") + option + ": must not be negative");
        if (id == ControlId::kSpeed && v <= 0)
            throw UsageError("invalid value for --speed: must be a positive percentage");
        if (id == ControlId::kRate && v != std::floor(v))
            throw UsageError("invalid value for --rate: '" + it->second +
                             "' (files store whole hertz; use a whole number)");
        // Checked before a rate is held as a float (16777217 would become 16777216).
        if (id == ControlId::kRate && v > kMaxRateHz)
            throw UsageError("invalid value for --rate: '" + it->second + "' (at most " +
                             std::to_string(static_cast<long>(kMaxRateHz)) + " Hz)");
        model.OnFieldChanged(id, it->second);
    }
    // The dialog raises a stop band below the pass band to it; asked for on
    // the command line, that is a contradiction.
    if (auto stop = values.find("--stopband"); stop != values.end()) {
        const double stopband = strictNumber("--stopband", stop->second);
        auto pass = values.find("--baseband");
        const double baseband =
            pass != values.end() ? strictNumber("--baseband", pass->second) : 20000.0;
        if (stopband != 0 && baseband != 0 && stopband <= baseband)
            throw UsageError("--stopband " + stop->second + " Hz is not above the pass-band edge (" +
                             (pass != values.end() ? "--baseband " + pass->second + " Hz"
                                                   : std::string("20000 Hz by default")) +
                             "): the stop band must start above the pass band");
    }
    if (auto it = values.find("--snr"); it != values.end()) {
        unsigned snr = strictCount("--snr", it->second);
        if (snr == 0 || snr > 400) throw UsageError("invalid value for --snr: use 1 to 400 dB");
        model.OnSnrBoxClicked(true);
        model.OnFieldChanged(ControlId::kSnr, it->second);
    }
    if (values.count("--alias-guard-band")) model.OnAliasRadioClicked(true);
    if (values.count("--keep-pre-ring")) model.OnKeepPreRingClicked(true);
    model.SetExactLength(values.count("--exact-length") > 0);
    model.SetCopyMetadata(values.count("--no-metadata") == 0);
    model.SetPreventClipping(values.count("--prevent-clipping") > 0);
    model.SetFailOnClip(values.count("--fail-on-clip") > 0);
    if (auto it = values.find("--ceiling"); it != values.end())
        model.SetCeilingDbtp(strictNumber("--ceiling", it->second));
    if (auto it = values.find("--seed"); it != values.end()) {
        const std::string& t = it->second;
        errno = 0;
        const bool digits = !t.empty() && t.size() <= 20 &&
                            t.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long long seed = digits ? std::strtoull(t.c_str(), nullptr, 10) : 0;
        if (!digits || errno == ERANGE)
            throw UsageError("invalid value for --seed: '" + t +
                             "' (use a whole number from 0 to 18446744073709551615)");
        model.SetDitherSeed(static_cast<std::uint64_t>(seed));
    }

    o.request = model.request();
    if (auto it = values.find("--container"); it != values.end()) {
        const auto container = ParseContainer(it->second);
        if (!container)
            throw UsageError("invalid value for --container: '" + it->second +
                             "' (use wav, wv, raw, aiff or flac)");
        o.request.container = *container;
    }
    try {
        Validate(o.request);
    } catch (const InvalidRequest& e) {
        throw UsageError(e.what());
    }
    if (auto it = values.find("--jobs"); it != values.end()) {
        o.jobs = strictCount("--jobs", it->second);
        if (o.jobs == 0 || o.jobs > 256) throw UsageError("invalid value for --jobs: use 1 to 256");
    }
    if (auto it = values.find("--output-dir"); it != values.end()) o.outputDir = it->second;
    o.json = values.count("--json");
    o.nulSeparated = values.count("--null");
    if (values.count("--flat")) o.request.mirrorTree = false;
    o.request.toStandardOutput = values.count("--stdout");
    if (auto it = values.find("--if-exists"); it != values.end()) {
        static const std::map<std::string, IfExists> choices = {
            {"replace", IfExists::Replace}, {"skip", IfExists::Skip}, {"fail", IfExists::Fail}};
        auto choice = choices.find(it->second);
        if (choice == choices.end())
            throw UsageError("invalid value for --if-exists: '" + it->second +
                             "' (use replace, skip or fail)");
        o.request.ifExists = choice->second;
    }
    if (auto it = values.find("--files-from"); it != values.end()) o.filesFrom = it->second;
    if (o.nulSeparated && !o.filesFrom) throw UsageError("-0 goes with --files-from");
    // Options that would otherwise be ignored without a word.
    if (values.count("--flat") && !o.outputDir) throw UsageError("--flat goes with --output-dir");
    if (values.count("--ceiling") && !o.request.settings.preventClipping &&
        !o.request.settings.failOnClip)
        throw UsageError("--ceiling goes with --prevent-clipping or --fail-on-clip");
    if (auto it = values.find("--shard"); it != values.end()) {
        try {
            o.shard = ParseShard(it->second);
        } catch (const BatchInputError& e) {
            throw UsageError(std::string("invalid value for --shard: ") + e.what());
        }
    }
    const auto stdinInputs = std::count(o.inputs.begin(), o.inputs.end(), std::string("-"));
    if (stdinInputs > 1) throw UsageError("standard input (-) can be read only once");
    if (stdinInputs && o.filesFrom == "-")
        throw UsageError("standard input cannot be both an input (-) and the --files-from list");
    if (stdinInputs && o.shard) throw UsageError("--shard does not go with standard input (-)");
    if (o.request.settings.preventClipping && (stdinInputs || o.request.toStandardOutput))
        throw UsageError("--prevent-clipping reads the input again and rewrites the output: "
                         "not with standard input or --stdout");
    if (o.request.settings.failOnClip && o.request.toStandardOutput)
        throw UsageError(
            "--fail-on-clip deletes an output that clips: a stream cannot be taken "
            "back, not with --stdout");
    if (o.json && o.info) throw UsageError("--json reports conversions; --info has a text of its own");
    if (o.request.toStandardOutput) {
        if (o.json) throw UsageError("--stdout and --json both want standard output");
        if (o.outputDir) throw UsageError("--stdout and --output-dir both name where the output goes");
        if (o.request.container != Container::Wave && o.request.container != Container::Raw)
            throw UsageError("--stdout writes wav or raw, not " +
                             std::string(ContainerName(o.request.container)));
        if (o.inputs.size() + (o.filesFrom ? 1 : 0) > 1)
            throw UsageError("--stdout takes exactly one input");
    }
    if (!o.help && !o.version && o.makeDemo.empty() && o.inputs.empty() && !o.filesFrom)
        throw UsageError("no input files given");
    // Inputs given with it were left unconverted, and the run ended with status 0.
    if (!o.makeDemo.empty() && (!o.inputs.empty() || o.filesFrom))
        throw UsageError("--make-demo writes a demo file and converts nothing: no inputs with it");
    return o;
}
