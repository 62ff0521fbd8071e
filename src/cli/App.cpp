#include "cli/App.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory_resource>
#include <mutex>
#include <optional>

#include "cli/Options.h"
#include "job/Batch.h"
#include "job/Conversion.h"
#include "job/Demo.h"
#include "job/FileAcceptance.h"
#include "job/InputReport.h"
#include "job/JobQueue.h"
#include "job/StandardStreams.h"

namespace fs = std::filesystem;

namespace {

// The errno of the first write to standard output that failed (0: none): a reader that went away
// or a full disk loses the JSON lines or the results, which the exit status then says.
std::atomic<int> gStdoutError{0};

void noteStdoutWrite(bool ok) {
    int none = 0;
    if (!ok) gStdoutError.compare_exchange_strong(none, errno ? errno : EIO);
}

// Also wakes the jobs waiting for standard input or for the output stream's reader.
extern "C" void onStopSignal(int) {
    RequestStop();
}

void installSignalHandlers() {
    PrepareStopRequests();
    InstallStopSignals(onStopSignal);
}

// Memory for the rows' texts, shared by the workers under a lock. Not
// std::pmr::synchronized_pool_resource: its per-thread pools are freed by a
// thread-exit handler, which ran against the destroyed resource when the
// pool's workers ended at process exit (a crash after a finished batch).
class LockedPool final : public std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        std::lock_guard l(lock_);
        return pool_.allocate(bytes, alignment);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
        std::lock_guard l(lock_);
        pool_.deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    std::mutex lock_;
    std::pmr::unsynchronized_pool_resource pool_;
};

// A job-list row of the command line: keeps the progress and, once the job
// has ended, what the queue recorded.
// Its texts are written on the workers and kept to the end of the batch:
// they come from `memory`, not from the workers' allocator arenas, where small
// blocks left among each job's freed memory would keep it from being reused.
class CliRow final : public iJobRow {
public:
    CliRow(Filesystem::Path p, std::pmr::memory_resource* memory)
        : iJobRow(std::move(p)), text_(memory), output_(memory) {}

    void SetStateText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        text_ = text;
    }
    void OnEnded(const JobRecord& record) override {
        for (const std::string& w : record.warnings)
            std::fprintf(stderr, "%s: warning: %s\n", path.NativeText().c_str(), w.c_str());
        if (json_) PrintJsonLine(record);
        std::lock_guard lock(mutex_);
        ended_ = true;
        if (record.output) output_ = record.output->NativeText();
    }
    // Rows the batch ended before they started still get their line.
    void ReportIfNotEnded() {
        {
            std::lock_guard lock(mutex_);
            if (ended_ || !json_) return;
        }
        JobRecord record;
        record.input = path;
        record.state = JobState::Failed;
        record.text = "aborted";
        PrintJsonLine(record);
    }
    // One line at a time, whole, as each file ends.
    static void PrintJsonLine(const JobRecord& record) {
        static std::mutex stdoutMutex;
        const std::string line = JobRecordJson(record) + "\n";
        std::lock_guard lock(stdoutMutex);
        // One write for the whole line, whatever its length: tasks that share one output file
        // or pipe (xargs -P, several background runs) never interleave pieces of their lines.
        bool written = std::fflush(stdout) == 0;
        for (std::size_t at = 0; written && at < line.size();) {
            // A reader that stopped reading (a pipe) must not keep a stop signal from ending
            // the run: once a line waits for it in vain, the later ones are not written either.
            static bool stalled = false;
            if (stalled || !WaitToWrite(STDOUT_FILENO, line.size() - at)) {
                stalled = true;
                errno = ECANCELED;
                written = false;
                break;
            }
            const ssize_t n = ::write(STDOUT_FILENO, line.data() + at, line.size() - at);
            if (n < 0 && errno == EINTR) continue;
            written = n > 0;
            if (written) at += static_cast<std::size_t>(n);
        }
        noteStdoutWrite(written);
    }
    void SetJson(bool json) { json_ = json; }
    std::unique_ptr<JobProgress> MakeProgress(const std::atomic<bool>& abort) override {
        return std::make_unique<Progress>(*this, abort);
    }

    // "input -> output: State text"
    std::string result() const {
        std::lock_guard lock(mutex_);
        // A file the stop kept from starting is "aborted", as its JSON line says.
        return path.NativeText() + " -> " + (output_.empty() ? "-" : std::string(output_)) + ": " +
               (ended_ ? std::string(text_) : std::string("aborted"));
    }
    bool succeeded() const { return state == JobState::Finished && !output_.empty(); }
    int percent() const {
        std::uint32_t t = total_, d = doneUnits_;
        return t ? static_cast<int>(100.0 * d / t) : 0;
    }

private:
    class Progress final : public JobProgress {
    public:
        Progress(CliRow& row, const std::atomic<bool>& abort) : row_(row), abort_(abort) {}
        bool progress(std::uint32_t done, std::uint32_t total, bool) override {
            // A stop signal ends the running jobs at their next block, before the main thread
            // wakes up to abort the queue.
            if (abort_ || StopRequested()) return false;
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
    bool json_ = false;
    bool ended_ = false;  // under mutex_
    std::pmr::string text_, output_;
    std::atomic<std::uint32_t> doneUnits_{0}, total_{0};
};

// An input file and the folder argument a walk found it in, if any.
struct Input {
    Filesystem::Path path;
    std::optional<Filesystem::Path> walkedFrom;
};

// A name given that is not converted, and why (said as it is found).
struct Refused {
    std::string name, reason;
};

// Said on the error output once the batch's share is known (see RunCli).
void refuse(std::vector<Refused>& refused, const std::string& name, std::string reason) {
    refused.push_back({name, std::move(reason)});
}

// Files named on the command line, folders walked. Problems with explicit
// names, and folders that cannot be read, go to `refused`; the walk skips what it cannot use.
std::vector<Input> collectInputs(const std::vector<std::string>& names,
                                 std::vector<Refused>& refused) {
    std::vector<Filesystem::Path> files;
    // Native text of a walked file -> the folder argument it was found in; of two (a folder and
    // its sub-folder both named) the outer one, whatever the order of the arguments.
    std::map<std::string, Filesystem::Path> walkedFrom;
    for (const std::string& name : names) {
        std::error_code ec;
        fs::file_status st = fs::status(name, ec);
        if (ec || !fs::exists(st)) {
            // A name that exists but cannot be reached (permissions, a loop of links) says so.
            refuse(refused, name,
                   ec && ec != std::errc::no_such_file_or_directory ? ec.message()
                                                                    : "no such file or directory");
            continue;
        }
        const std::string text = fs::is_directory(st) ? FolderArgument(name) : name;
        Filesystem::Path p;
        try {
            p = Filesystem::Path::FromNative(text, fs::is_directory(st)
                                                       ? Filesystem::Path::Kind::Directory
                                                       : Filesystem::Path::Kind::File);
        } catch (const std::exception& e) {
            refuse(refused, name, e.what());
            continue;
        }
        if (fs::is_directory(st)) {
            WalkReport report;
            std::vector<Filesystem::Path> found = CollectAcceptedFiles(p, &report);
            const std::size_t skipped = report.earlierOutputs;
            for (const auto& [folder, why] : report.unreadableFolders)
                refuse(refused, folder, "cannot read the folder: " + why);
            if (skipped == 1)
                std::fprintf(stderr, "%s: skipped 1 file that is an output of an earlier run\n",
                             name.c_str());
            else if (skipped > 1)
                std::fprintf(stderr, "%s: skipped %zu files that are outputs of an earlier run\n",
                             name.c_str(), skipped);
            else if (found.empty() && report.unreadableFolders.empty())
                std::fprintf(stderr,
                             "%s: warning: no audio files (.wav .wv .aif .aiff .aifc .flac) in "
                             "this folder\n",
                             name.c_str());
            for (Filesystem::Path& f : found) {
                auto [at, added] = walkedFrom.try_emplace(f.NativeText(), p);
                if (!added && p.body.size() < at->second.body.size()) at->second = p;
                files.push_back(std::move(f));
            }
        } else if (ClassifyPath(p) == PathClass::File) {
            files.push_back(p);
        } else {
            refuse(refused, name, WhyNotTaken(p));
        }
    }
    // The same file under any name is converted once, and the files are taken in an order of
    // their own: which name stays, and which of two inputs with one output name keeps it, does
    // not depend on the order of the arguments.
    std::vector<std::pair<Filesystem::Path, Filesystem::Path>> dropped;
    std::vector<Filesystem::Path> unique = DistinctFilesInOrder(std::move(files), &dropped);
    for (const auto& [left, kept] : dropped)
        if (left.NativeText() != kept.NativeText())
            std::fprintf(stderr, "%s: skipped, the same file as %s\n", left.NativeText().c_str(),
                         kept.NativeText().c_str());
    std::vector<Input> inputs;
    for (Filesystem::Path& f : unique) {
        auto from = walkedFrom.find(f.NativeText());
        inputs.push_back({std::move(f), from == walkedFrom.end()
                                            ? std::nullopt
                                            : std::optional<Filesystem::Path>(from->second)});
    }
    return inputs;
}

int runInfo(const std::vector<Input>& files) {
    int status = 0;
    for (const Input& input : files) {
        const Filesystem::Path& path = input.path;
        InputReport report;
        try {
            report = Inspect(path);
        } catch (...) {
            std::fprintf(stderr, "%s: error: %s\n", path.NativeText().c_str(),
                         DescribeFailure(std::current_exception()).c_str());
            status = 1;
            continue;
        }
        for (const std::string& w : report.warnings)
            std::fprintf(stderr, "%s: warning: %s\n", path.NativeText().c_str(), w.c_str());
        std::printf("%s\n", path.NativeText().c_str());
        for (const auto& [key, value] : report.properties)
            std::printf("  %s: %s\n", key.c_str(), value.c_str());
        std::printf("  md5: %s\n", report.md5.c_str());
        for (const auto& [key, value] : report.metadata)
            std::printf("  %s: %s\n", key.c_str(), value.c_str());
    }
    return status;
}

int makeDemo(const std::string& file) {
    WriteDemoFile(file);
    std::printf("%s\n", file.c_str());
    return 0;
}

// The request of the options, with its output folder.
ConversionRequest requestOf(const CliOptions& o) {
    ConversionRequest request = o.request;
    if (o.outputDir)
        request.outputFolder =
            Filesystem::Path::FromNative(*o.outputDir, Filesystem::Path::Kind::Directory);
    return request;
}

int runConversions(const CliOptions& o, const std::vector<Input>& files,
                   const std::vector<Refused>& refused) {
    // A name refused before any job gets its line too: one per name given or found.
    if (o.json)
        for (const Refused& r : refused) {
            JobRecord record;
            try {
                record.input = Filesystem::Path::FromNative(r.name, Filesystem::Path::Kind::Either);
            } catch (const std::exception&) {
                continue;  // a name no path can hold (said on the error output)
            }
            record.state = JobState::Failed;
            record.text = r.reason;
            CliRow::PrintJsonLine(record);
        }
    const ConversionRequest request = requestOf(o);

    LockedPool rowMemory;
    std::vector<std::unique_ptr<CliRow>> rows;
    JobQueue queue(o.jobs);
    {
        JobQueue::Batch batch(queue);  // one batch however soon the first jobs end
        for (const Input& f : files) queue.NoteInput(f.path);
        for (const Input& f : files) {
            rows.push_back(std::make_unique<CliRow>(f.path, &rowMemory));
            rows.back()->walkedFrom = f.walkedFrom;
            rows.back()->SetJson(o.json);
            queue.Submit(*rows.back(), request);
        }
    }

    const bool live = !o.quiet && isatty(STDERR_FILENO);
    bool aborting = false;
    while (!queue.WaitIdle(std::chrono::milliseconds(50))) {
        if (StopRequested() && !aborting) {
            queue.AbortAll();
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
    if (live) std::fprintf(stderr, "\r\033[K");

    // Standard output carries only the JSON lines or the stream there.
    std::FILE* human = o.request.toStandardOutput ? stderr : stdout;
    int status = refused.empty() ? 0 : 1;
    std::size_t notConverted = refused.size();
    for (auto& r : rows) {
        r->ReportIfNotEnded();
        if (!o.json && std::fprintf(human, "%s\n", r->result().c_str()) < 0 && human == stdout)
            noteStdoutWrite(false);
        if (!r->succeeded()) status = 1, ++notConverted;
    }
    if (std::fflush(stdout) != 0) noteStdoutWrite(false);
    // Among thousands of result lines the few failures are easily missed.
    const std::size_t named = rows.size() + refused.size();
    if (notConverted > 0 && named > 1)
        std::fprintf(stderr, "tessival-cli: %zu of %zu files not converted (see their %s)\n",
                     notConverted, named, o.json ? "JSON lines" : "results");
    if (const int e = gStdoutError.load()) {
        std::fprintf(stderr, "tessival-cli: cannot write the %s to standard output: %s\n",
                     o.json ? "JSON lines" : "results", std::strerror(e));
        status = 1;
    }
    return status;
}

}  // namespace

int RunCli(const std::vector<std::string>& args) {
    // A standard stream the run was started without (>&-) gets /dev/null, so that no file the
    // run opens takes its number; a closed standard output is a failed write of the results.
    bool stdoutClosed = false;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) dup2(null, fd), ::close(null);
        if (fd == STDOUT_FILENO) gStdoutError = EBADF, stdoutClosed = true;
    }
    CliOptions o;
    try {
        o = ParseOptions(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tessival-cli: %s\nTry 'tessival-cli --help'.\n", e.what());
        return 2;
    }
    AnnounceInstructionSet();
    if (stdoutClosed && o.request.toStandardOutput) {
        std::fprintf(stderr, "tessival-cli: --stdout: standard output is closed\n");
        return 1;
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
            std::error_code ec;
            std::fprintf(stderr, "tessival-cli: output folder '%s' %s\n", o.outputDir->c_str(),
                         fs::exists(*o.outputDir, ec) ? "is not a folder" : "does not exist");
            return 2;
        }
        std::vector<Refused> refused;
        std::vector<std::string> names;
        bool standardInput = false;
        for (const std::string& name : o.inputs) {
            if (name == "-")
                standardInput = true;
            else
                names.push_back(name);
        }
        if (o.filesFrom) {
            std::vector<std::string> listed = ReadNameList(*o.filesFrom, o.nulSeparated);
            names.insert(names.end(), listed.begin(), listed.end());
        }
        std::vector<Input> files = collectInputs(names, refused);
        // Inputs that could take one output name stay in one task, which refuses the second.
        if (o.shard)
            files = TakeShard(std::move(files), *o.shard, [request = requestOf(o)](const Input& f) {
                return OutputNameGroup(request, f.path, f.walkedFrom);
            });
        // Names refused before any job are the first task's to report: every task of a cluster
        // batch meets them, and each would count them as its own.
        if (o.shard && o.shard->index != 0) refused.clear();
        for (const Refused& r : refused)
            std::fprintf(stderr, "%s: error: %s\n", r.name.c_str(), r.reason.c_str());
        if (standardInput) files.insert(files.begin(), Input{StandardStreamPath(), std::nullopt});
        if (o.request.toStandardOutput && files.size() > 1) {
            std::fprintf(stderr, "tessival-cli: --stdout takes exactly one input file (%zu given)\n",
                         files.size());
            return 2;
        }
        // The reader of the stream would meet an empty one and take it for a fault of its own.
        if (o.request.toStandardOutput && files.empty() && !o.info) {
            std::fprintf(stderr, "tessival-cli: --stdout: no input file to convert\n");
            return 1;
        }
        if (o.info) return runInfo(files) | (refused.empty() ? 0 : 1);
        installSignalHandlers();
        // A reader of standard output that goes away is a failed write, said in words: of the
        // stream's file, or of the JSON lines and results (the batch goes on; its outputs are
        // whole, and no temporary file is left as the signal would leave it).
        std::signal(SIGPIPE, SIG_IGN);
        return runConversions(o, files, refused);
    } catch (...) {
        std::fprintf(stderr, "tessival-cli: %s\n",
                     DescribeFailure(std::current_exception()).c_str());
        return 1;
    }
}
