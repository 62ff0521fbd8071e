#include "cli/App.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "audio/format/Translator.h"
#include "audio/io/FileWriter.h"
#include "audio/io/InsertWriter.h"
#include "audio/io/OpenFile.h"
#include "cli/Options.h"
#include "job/FileAcceptance.h"
#include "job/JobQueue.h"
#include "stream/Adapt.h"
#include "threads/Pool.h"

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onStopSignal(int) {
    gStopSignal = 1;
}

void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// A job-list row of the command line: keeps the State text, the progress
// and, for a failure, the reasons behind it.
class CliRow final : public iJobRow {
public:
    explicit CliRow(Filesystem::Path p) : iJobRow(std::move(p)) {}

    void SetStateText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        text_ = text;
    }
    void OnFailure(std::exception_ptr e) override {
        std::lock_guard lock(mutex_);
        detail_ = DescribeException(e);
    }
    void OnDone(const Filesystem::Path& out) override {
        std::lock_guard lock(mutex_);
        output_ = out.NativeText();
        done_ = true;
    }
    void OnWarning(const std::string& message) override {
        std::fprintf(stderr, "%s: warning: %s\n", path.NativeText().c_str(), message.c_str());
    }
    std::unique_ptr<Stream::iDrainProgress> MakeProgress(const std::atomic<bool>& abort) override {
        return std::make_unique<Progress>(*this, abort);
    }

    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    std::string result() const {
        std::lock_guard lock(mutex_);
        std::string line = path.NativeText() + " -> " + (output_.empty() ? "-" : output_) + ": ";
        // the State text, and for a refused file what is behind its "???"
        line += detail_.empty() ? text_ : detail_;
        return line;
    }
    bool succeeded() const {
        std::lock_guard lock(mutex_);
        return done_ && state == JobState::Finished;
    }
    int percent() const {
        std::uint32_t t = total_, d = doneUnits_;
        return t ? static_cast<int>(100.0 * d / t) : 0;
    }

private:
    class Progress final : public Stream::iDrainProgress {
    public:
        Progress(CliRow& row, const std::atomic<bool>& abort) : row_(row), abort_(abort) {}
        bool progress(std::uint32_t done, std::uint32_t total, bool) override {
            if (abort_) return false;
            row_.doneUnits_ = done;
            row_.total_ = total;
            return true;
        }
        void finished() override { row_.doneUnits_ = row_.total_.load(); }

    private:
        CliRow& row_;
        const std::atomic<bool>& abort_;
    };

    mutable std::mutex mutex_;
    std::string text_, detail_, output_;
    bool done_ = false;
    std::atomic<std::uint32_t> doneUnits_{0}, total_{0};
};

// Files named on the command line, folders walked. Problems with explicit
// names are reported; the walk skips what it cannot use.
std::vector<Filesystem::Path> collectInputs(const std::vector<std::string>& names, bool& anyError) {
    std::vector<Filesystem::Path> files;
    for (const std::string& name : names) {
        std::error_code ec;
        fs::file_status st = fs::status(name, ec);
        if (ec || !fs::exists(st)) {
            std::fprintf(stderr, "%s: error: no such file or directory\n", name.c_str());
            anyError = true;
            continue;
        }
        // A folder named "." or ".." (or ending so) is walked under its real
        // name: the walk leaves entries of those names out.
        std::string text = name;
        if (fs::is_directory(st)) {
            auto normal = [](const fs::path& f) {
                std::string t = f.lexically_normal().string();
                while (t.size() > 1 && t.back() == '/') t.pop_back();
                return t;
            };
            text = normal(name);
            const fs::path leaf = fs::path(text).filename();
            if (leaf == "." || leaf == "..") text = normal(fs::absolute(name));
        }
        Filesystem::Path p;
        try {
            p = Filesystem::Path::Parse(text, fs::is_directory(st)
                                                  ? Filesystem::Path::Kind::Directory
                                                  : Filesystem::Path::Kind::File);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: error: %s\n", name.c_str(), e.what());
            anyError = true;
            continue;
        }
        if (fs::is_directory(st)) {
            std::vector<Filesystem::Path> found = CollectAcceptedFiles(p);
            if (found.empty())
                std::fprintf(stderr, "%s: warning: no .wav or .wv files in this folder\n",
                             name.c_str());
            for (Filesystem::Path& f : found) files.push_back(std::move(f));
        } else if (ClassifyPath(p) == PathClass::File) {
            files.push_back(p);
        } else {
            std::fprintf(stderr, "%s: error: not a .wav or .wv file\n", name.c_str());
            anyError = true;
        }
    }
    // The same file twice is converted once.
    std::vector<Filesystem::Path> unique;
    for (Filesystem::Path& f : files) {
        bool seen = false;
        for (const Filesystem::Path& u : unique) seen |= u.root == f.root && u.body == f.body;
        if (!seen) unique.push_back(std::move(f));
    }
    return unique;
}

int runInfo(const std::vector<Filesystem::Path>& files) {
    int status = 0;
    for (const Filesystem::Path& path : files) {
        Audio::IO::PropertyList props;
        MD5::Hash digest{};
        Audio::IO::InputDetails details;
        try {
            {
                auto stream = Audio::IO::OpenFile(path, &props, &digest, &details);
                Stream::Wrapper<Stream::iUnder> pull(__adapt<Stream::iUnder>::from(stream));
                stream.reset();
                Stream::drain(std::move(pull), nullptr);
            }  // the digest is final once the chain is released
        } catch (...) {
            std::fprintf(stderr, "%s: error: %s\n", path.NativeText().c_str(),
                         DescribeException(std::current_exception()).c_str());
            status = 1;
            continue;
        }
        for (const std::string& w : details.warnings)
            std::fprintf(stderr, "%s: warning: %s\n", path.NativeText().c_str(), w.c_str());
        std::printf("%s\n", path.NativeText().c_str());
        for (const auto& p : props) std::printf("  %s: %s\n", p.key.c_str(), p.value.c_str());
        std::printf("  md5: ");
        for (std::uint8_t b : digest) std::printf("%02x", b);
        std::printf("\n");
    }
    return status;
}

// A few seconds of 44100 Hz stereo: a 440 Hz tone on the left, a
// logarithmic sweep from 20 Hz to 20 kHz on the right, both at -6 dBFS.
class DemoSource final : public Stream::iOver, public Stream::Source {
public:
    static constexpr double kRate = 44100.0, kSeconds = 4.0;
    DemoSource() {
        granularity = 16;
        length = static_cast<std::int64_t>(kRate * kSeconds) * 16;
        setTag(Audio::Stream::Tag{0.0, Audio::Format::FromBytes(0x48, 1, 0, 2, float(kRate))});
    }
    void seek(std::uint64_t p) override { frame_ = p / 16; }
    Stream::Block read(slice<std::uint8_t> d, std::uint32_t) override {
        auto* out = reinterpret_cast<double*>(d.begin);
        const double a = 0.5, f0 = 20.0, f1 = 20000.0, T = kSeconds, k = std::log(f1 / f0);
        for (std::size_t i = 0; i < d.length() / 16; ++i, ++frame_) {
            double t = frame_ / kRate;
            out[2 * i] = a * std::sin(2 * M_PI * 440.0 * t);
            out[2 * i + 1] = a * std::sin(2 * M_PI * f0 * T / k * (std::exp(t / T * k) - 1));
        }
        return {d.begin, d.end, Stream::Samples};
    }

private:
    std::uint64_t frame_ = 0;
};

int makeDemo(const std::string& file) {
    fs::path p(file);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    Audio::Stream::Wrapper<Stream::iOver> s(new DemoSource);
    s = Audio::FormatTranslator::MakeAndApply(s, Audio::Format::FromBytes(0x22, 16, 0, 0, 0.0f), 1);
    auto writer = Audio::IO::MakeFileWriter(Audio::IO::kWaveWriter, s.tag(), file);
    Stream::Wrapper<Stream::iUnder> pull(
        __adapt<Stream::iUnder>::from(Audio::IO::InsertWriter(s, std::move(writer))));
    s.reset();
    Stream::drain(std::move(pull), nullptr);
    std::printf("%s\n", file.c_str());
    return 0;
}

int runConversions(const CliOptions& o, const std::vector<Filesystem::Path>& files, bool anyError) {
    OutputOptions out;
    if (o.container == "wv") {
        out.writerId = Audio::IO::kWavpackWriter;
        out.extension = ".wv";
    } else if (o.container == "raw") {
        out.writerId = Audio::IO::kRawWriter;
        out.extension = ".raw";
    }
    if (o.outputDir)
        out.directory = Filesystem::Path::Parse(*o.outputDir, Filesystem::Path::Kind::Directory);

    // Destroyed in reverse: the queue first, which waits until no worker is
    // inside a job any more, then what its callback uses, then the pool.
    Threads::Pool pool(o.jobs ? o.jobs : Threads::Pool::DefaultWorkerCount());
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::unique_ptr<CliRow>> rows;
    JobQueue queue(&pool);
    queue.onAllJobsEnded = [&] {
        std::lock_guard lock(m);
        cv.notify_all();
    };
    for (const Filesystem::Path& f : files) {
        rows.push_back(std::make_unique<CliRow>(f));
        queue.QueueJob(*rows.back(), o.format.lowByte, o.format.scaleExponent, o.format.thirdByte,
                       o.outputRate, o.settings, out);
    }

    const bool live = !o.quiet && isatty(STDERR_FILENO);
    auto ended = [&] {
        if (queue.activeJobs != 0) return false;
        for (auto& r : rows)
            if (r->state == JobState::Queued || r->state == JobState::Running) return false;
        return true;
    };
    bool aborting = false;
    std::unique_lock lock(m);
    while (!cv.wait_for(lock, std::chrono::milliseconds(200), ended)) {
        if (gStopSignal && !aborting) {
            queue.RequestAbort();
            aborting = true;
        }
        if (live) {
            std::string line;
            for (auto& r : rows)
                if (r->state == JobState::Running)
                    line += r->path.Leaf() + " " + std::to_string(r->percent()) + "%  ";
            if (line.size() > 200) line.resize(200);
            std::fprintf(stderr, "\r\033[K%s", line.c_str());
            std::fflush(stderr);
        }
    }
    lock.unlock();
    if (live) std::fprintf(stderr, "\r\033[K");

    int status = anyError ? 1 : 0;
    for (auto& r : rows) {
        std::printf("%s\n", r->result().c_str());
        if (!r->succeeded()) status = 1;
    }
    return status;
}

}  // namespace

std::string DescribeException(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        std::string text = x.what();
        try {
            std::rethrow_if_nested(x);
        } catch (...) {
            text += ": " + DescribeException(std::current_exception());
        }
        return text;
    } catch (...) {
        return "failed";
    }
}

int RunCli(const std::vector<std::string>& args) {
    CliOptions o;
    try {
        o = ParseOptions(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tessival-cli: %s\nTry 'tessival-cli --help'.\n", e.what());
        return 2;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.version) {
        std::puts("tessival-cli 1.0");
        return 0;
    }
    try {
        if (!o.makeDemo.empty()) return makeDemo(o.makeDemo);
        if (o.outputDir && !fs::is_directory(*o.outputDir)) {
            std::fprintf(stderr, "tessival-cli: output folder '%s' does not exist\n",
                         o.outputDir->c_str());
            return 2;
        }
        bool anyError = false;
        std::vector<Filesystem::Path> files = collectInputs(o.inputs, anyError);
        if (o.info) return runInfo(files) | (anyError ? 1 : 0);
        installSignalHandlers();
        return runConversions(o, files, anyError);
    } catch (...) {
        std::fprintf(stderr, "tessival-cli: %s\n",
                     DescribeException(std::current_exception()).c_str());
        return 1;
    }
}
