// Faults of the disk and of the input during a conversion job: every write,
// seek and close of the output failing in turn, a full file system, a
// read-only output folder, an input cut short or removed while the job
// reads it, an input gone before the job starts. Every such job must end
// Failed with a message and leave no output behind.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "StdioFaults.h"
#include "audio/io/FileWriter.h"
#include "job/Conversion.h"
#include "job/Demo.h"
#include "job/JobQueue.h"
#include "support/JobRows.h"
#include "support/NoPermissionOverride.h"
#include "support/WavFiles.h"
#include "threads/Pool.h"

namespace fs = std::filesystem;
using StdioFaults::Call;

namespace {


// 16-bit stereo PCM: a tone on both channels.
void writeWav(const fs::path& p, std::uint32_t rate, std::uint32_t frames) {
    TestSupport::writeWav16(p, rate, 2, frames, [](std::uint16_t c, std::uint32_t i) {
        const auto v = static_cast<std::int16_t>(8000 * std::sin(i * 0.05));
        return static_cast<std::int16_t>(c == 0 ? v : -v);
    });
}

using Row = TestSupport::TestRow;

struct Outcome {
    JobState state;
    std::string text;
};

// The queue's request for what these options say: into options.directory, in
// the options' container.
ConversionRequest requestFor(const OutputOptions& options, SampleType type) {
    ConversionRequest r;
    r.outputRate = 48000.0f;
    r.sampleType = type;
    r.container = options.writerId == Audio::IO::kWavpackWriter ? Container::WavPack
                  : options.writerId == Audio::IO::kRawWriter   ? Container::Raw
                  : options.writerId == Audio::IO::kAiffWriter  ? Container::Aiff
                  : options.writerId == Audio::IO::kFlacWriter  ? Container::Flac
                                                                : Container::Wave;
    r.outputFolder = options.directory;
    return r;
}

// Runs one job on a one-worker queue and waits for it. `beforeStart` runs on
// the worker before the job (the job is queued by then). With two workers the
// second, once idle, takes the first part of the job's chain.
Outcome runJob(const fs::path& input, const OutputOptions& options,
               const std::function<void()>& beforeStart = {}, std::uint32_t workers = 1) {
    Threads::Pool pool(workers);
    while (pool.Idle() < workers) std::this_thread::yield();
    std::mutex m;
    std::condition_variable cv;
    bool go = !beforeStart, ended = false;
    Row row(Filesystem::Path::Parse(input.string(), Filesystem::Path::Kind::File));
    {
        JobQueue q(&pool);
        q.onAllJobsEnded = [&] {
            std::lock_guard l(m);
            ended = true;
            cv.notify_all();
        };
        if (beforeStart) {
            pool.Submit(0, false, [&] {
                std::unique_lock l(m);
                cv.wait(l, [&] { return go; });
            });
        }
        q.Submit(row, requestFor(options, SampleType::Int24));
        if (beforeStart) {
            beforeStart();
            std::lock_guard l(m);
            go = true;
            cv.notify_all();
        }
        std::unique_lock l(m);
        cv.wait(l, [&] { return ended; });
    }
    return {row.state.load(), row.text()};
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tessival_faults_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "out");
        StdioFaults::Reset();
    }
    void TearDown() override {
        StdioFaults::Reset();
        fs::remove_all(dir);
    }
    std::vector<std::string> outputs() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / "out"))
            names.push_back(e.path().filename().string());
        return names;
    }
    OutputOptions options(int writer) const {
        OutputOptions o;
        o.writerId = writer;
        o.extension = writer == Audio::IO::kWavpackWriter ? ".wv"
                      : writer == Audio::IO::kRawWriter   ? ".raw"
                      : writer == Audio::IO::kAiffWriter  ? ".aiff"
                      : writer == Audio::IO::kFlacWriter  ? ".flac"
                                                          : ".wav";
        o.directory =
            Filesystem::Path::Parse((dir / "out").string(), Filesystem::Path::Kind::Directory);
        return o;
    }
    fs::path dir;
};

// A failure always says why: a bare "failed" (or nothing) does not.
void expectFailedWithMessage(const Outcome& o, const std::string& what) {
    EXPECT_EQ(o.state, JobState::Failed) << what;
    EXPECT_FALSE(o.text.empty()) << what;
    EXPECT_NE(o.text, "failed") << what;
    EXPECT_NE(o.text.rfind("done", 0), 0u) << what << ": " << o.text;
}

}  // namespace

// Every write, seek and close of the output fails in turn, for each writer.
TEST_F(Faults, EveryFailingOutputCallFailsTheJobAndRemovesTheOutput) {
    writeWav(dir / "in.wav", 44100, 44100 / 2);
    std::uint64_t injected = 0;
    for (int writer : {Audio::IO::kWaveWriter, Audio::IO::kWavpackWriter, Audio::IO::kRawWriter,
                       Audio::IO::kAiffWriter}) {
        SCOPED_TRACE("writer " + std::to_string(writer));
        StdioFaults::Reset();
        Outcome clean = runJob(dir / "in.wav", options(writer));
        ASSERT_EQ(clean.state, JobState::Finished) << clean.text;
        ASSERT_EQ(outputs().size(), 1u);
        fs::remove(dir / "out" / outputs()[0]);
        const StdioFaults::Counts n = StdioFaults::Current();
        ASSERT_GT(n.outputWrites, 2u);
        ASSERT_GE(n.outputCloses, 1u);

        const std::pair<Call, std::uint64_t> plans[] = {{Call::OutputWrite, n.outputWrites},
                                                        {Call::OutputSeek, n.outputSeeks},
                                                        {Call::OutputClose, n.outputCloses}};
        for (auto [call, count] : plans) {
            for (std::uint64_t k = 1; k <= count; ++k) {
                const std::string what =
                    "call kind " + std::to_string(int(call)) + " #" + std::to_string(k);
                StdioFaults::Reset();
                StdioFaults::FailAt(call, k, k % 2 ? ENOSPC : EIO);
                Outcome o = runJob(dir / "in.wav", options(writer));
                expectFailedWithMessage(o, what);
                EXPECT_TRUE(outputs().empty()) << what;
                for (const auto& f : outputs()) fs::remove(dir / "out" / f);
                ++injected;
            }
        }
    }
    std::printf("[ faults   ] %llu output faults injected\n",
                static_cast<unsigned long long>(injected));
}

// A failing read of the input, at every read of a short job.
TEST_F(Faults, EveryFailingInputReadFailsTheJob) {
    writeWav(dir / "in.wav", 44100, 44100 / 4);
    Outcome clean = runJob(dir / "in.wav", options(Audio::IO::kWaveWriter));
    ASSERT_EQ(clean.state, JobState::Finished);
    fs::remove(dir / "out" / outputs()[0]);
    const std::uint64_t reads = StdioFaults::Current().inputReads;
    ASSERT_GT(reads, 1u);
    for (std::uint64_t k = 1; k <= reads; ++k) {
        StdioFaults::Reset();
        StdioFaults::FailAt(Call::InputRead, k, EIO);
        Outcome o = runJob(dir / "in.wav", options(Audio::IO::kWaveWriter));
        expectFailedWithMessage(o, "read #" + std::to_string(k));
        EXPECT_TRUE(outputs().empty()) << k;
        for (const auto& f : outputs()) fs::remove(dir / "out" / f);
    }
    std::printf("[ faults   ] %llu input read faults injected\n",
                static_cast<unsigned long long>(reads));
}

// The input is cut short (or removed) while the job reads it: a WAVE, a
// WavPack and an AIFF input, cut after the header and near the end.
TEST_F(Faults, InputCutShortWhileReadFailsTheJob) {
    writeWav(dir / "in.wav", 44100, 44100 * 3);
    ASSERT_EQ(runJob(dir / "in.wav", options(Audio::IO::kWavpackWriter)).state, JobState::Finished);
    fs::rename(dir / "out" / outputs()[0], dir / "in.wv");
    ASSERT_EQ(runJob(dir / "in.wav", options(Audio::IO::kAiffWriter)).state, JobState::Finished);
    fs::rename(dir / "out" / outputs()[0], dir / "in.aiff");
    for (const char* name : {"in.wav", "in.wv", "in.aiff"}) {
        StdioFaults::Reset();
        Outcome clean = runJob(dir / name, options(Audio::IO::kWaveWriter));
        ASSERT_EQ(clean.state, JobState::Finished) << name << ": " << clean.text;
        fs::remove(dir / "out" / outputs()[0]);
        const std::uint64_t reads = StdioFaults::Current().inputReads;
        ASSERT_GT(reads, 3u) << name;
        const auto size = fs::file_size(dir / name);
        for (std::uint64_t k : {std::uint64_t{3}, reads / 2, reads - 1}) {
            for (std::uintmax_t keep : {std::uintmax_t{200}, size / 2}) {
                const std::string what = std::string(name) + " cut to " + std::to_string(keep) +
                                         " before read #" + std::to_string(k);
                fs::copy_file(dir / name, dir / "saved", fs::copy_options::overwrite_existing);
                StdioFaults::Reset();
                StdioFaults::BeforeRead(
                    k, [keep](const std::string& path) { fs::resize_file(path, keep); });
                Outcome o = runJob(dir / name, options(Audio::IO::kWaveWriter));
                expectFailedWithMessage(o, what);
                EXPECT_TRUE(outputs().empty()) << what;
                for (const auto& f : outputs()) fs::remove(dir / "out" / f);
                fs::rename(dir / "saved", dir / name);
            }
        }
    }
}

// A read the system refuses (a failing disk) is told as such, with the system's words, in
// every input format: not as a damaged or truncated file.
TEST_F(Faults, AReadErrorOfEveryInputFormatSaysWhatTheSystemSaid) {
    writeWav(dir / "in.wav", 44100, 44100 * 3);
    const std::pair<const char*, int> made[] = {{"in.wv", Audio::IO::kWavpackWriter},
                                                {"in.aiff", Audio::IO::kAiffWriter},
                                                {"in.flac", Audio::IO::kFlacWriter}};
    for (const auto& [name, writer] : made) {
        ASSERT_EQ(runJob(dir / "in.wav", options(writer)).state, JobState::Finished) << name;
        fs::rename(dir / "out" / outputs()[0], dir / name);
    }
    for (const char* name : {"in.wav", "in.wv", "in.aiff", "in.flac"}) {
        StdioFaults::Reset();
        const Outcome clean = runJob(dir / name, options(Audio::IO::kWaveWriter));
        ASSERT_EQ(clean.state, JobState::Finished) << name << ": " << clean.text;
        fs::remove(dir / "out" / outputs()[0]);
        const std::uint64_t reads = StdioFaults::Current().inputReads;
        for (std::uint64_t k : {std::uint64_t{2}, reads / 2}) {
            const std::string what = std::string(name) + ", read #" + std::to_string(k);
            StdioFaults::Reset();
            StdioFaults::FailAt(Call::InputRead, k, EIO);
            const Outcome o = runJob(dir / name, options(Audio::IO::kWaveWriter));
            EXPECT_EQ(o.state, JobState::Failed) << what;
            EXPECT_NE(o.text.find("Input/output error"), std::string::npos)
                << what << ": " << o.text;
            EXPECT_TRUE(outputs().empty()) << what;
            for (const auto& f : outputs()) fs::remove(dir / "out" / f);
        }
    }
}

// Read faults and an input cut short while a second worker reads ahead for the job: the job
// fails with the reader's message and leaves no output.
TEST_F(Faults, InputFaultsInASplitJobFailItAndLeaveNoOutput) {
    writeWav(dir / "in.wav", 44100, 44100 * 3);
    ASSERT_EQ(runJob(dir / "in.wav", options(Audio::IO::kWaveWriter), {}, 2).state,
              JobState::Finished);
    fs::remove(dir / "out" / outputs()[0]);
    const std::uint64_t reads = StdioFaults::Current().inputReads;
    ASSERT_GT(reads, 3u);
    const auto size = fs::file_size(dir / "in.wav");
    for (std::uint64_t k : {std::uint64_t{3}, reads / 2, reads - 1}) {
        for (const bool cut : {false, true}) {
            const std::string what =
                (cut ? "cut short before read #" : "read #") + std::to_string(k);
            fs::copy_file(dir / "in.wav", dir / "saved", fs::copy_options::overwrite_existing);
            StdioFaults::Reset();
            if (cut)
                StdioFaults::BeforeRead(
                    k, [size](const std::string& p) { fs::resize_file(p, size / 2); });
            else
                StdioFaults::FailAt(Call::InputRead, k, EIO);
            expectFailedWithMessage(runJob(dir / "in.wav", options(Audio::IO::kWaveWriter), {}, 2),
                                    what);
            EXPECT_TRUE(outputs().empty()) << what;
            for (const auto& f : outputs()) fs::remove(dir / "out" / f);
            fs::rename(dir / "saved", dir / "in.wav");
        }
    }
}

// The input is removed after the job was queued and before it runs.
TEST_F(Faults, InputGoneBeforeTheJobRunsFailsIt) {
    writeWav(dir / "in.wav", 44100, 1000);
    Outcome o = runJob(dir / "in.wav", options(Audio::IO::kWaveWriter),
                       [&] { fs::remove(dir / "in.wav"); });
    expectFailedWithMessage(o, "removed input");
    EXPECT_TRUE(outputs().empty());
}

namespace {

// Runs `body` in a child process with its own mount namespace, where it may
// mount file systems over the test folder. The child may start no threads
// (only the main thread may), so the body calls the job directly. The body's result travels back
// in the exit status: 0 ok, 1 failure (text in `report`), 77 no namespace.
int inMountNamespace(const fs::path& report, const std::function<std::string()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int flags = geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
        if (unshare(flags) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(77);
        std::string failure;
        try {
            failure = body();
        } catch (...) {
            failure = "the body threw";
        }
        std::ofstream(report) << failure;
        _exit(failure == "skip" ? 77 : failure.empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The outcome the queue would give, without its threads.
Outcome convertHere(const fs::path& input, const OutputOptions& options) {
    try {
        ConvertFile(Filesystem::Path::Parse(input.string(), Filesystem::Path::Kind::File),
                    Audio::Format::FromBytes(0x23, 24, 0, 0, 48000.0f), ConversionSettings{},
                    nullptr, options);
        return {JobState::Finished, "done"};
    } catch (const std::exception& e) {
        return {JobState::Failed, e.what()};
    } catch (...) {
        return {JobState::Failed, "failed"};
    }
}

std::string readAll(const fs::path& p) {
    std::ifstream f(p);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

// A real full file system: the output folder is a 64 KiB tmpfs and the
// output needs about 140 KiB.
TEST_F(Faults, FullFileSystemFailsTheJobAndRemovesTheOutput) {
    writeWav(dir / "in.wav", 44100, 44100 / 2);
    const OutputOptions o = options(Audio::IO::kWaveWriter);
    int r = inMountNamespace(dir / "report", [&]() -> std::string {
        if (mount("tmpfs", (dir / "out").c_str(), "tmpfs", 0, "size=64k") != 0) return "skip";
        Outcome out = convertHere(dir / "in.wav", o);
        if (out.state != JobState::Failed)
            return "state " + std::to_string(int(out.state)) + " " + out.text;
        if (out.text.find(std::strerror(ENOSPC)) == std::string::npos)
            return "unclear message: " + out.text;
        if (!outputs().empty()) return "output left behind";
        return "";
    });
    if (r == 77) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(r, 0) << readAll(dir / "report");
}

// The output folder is on a read-only file system.
TEST_F(Faults, ReadOnlyOutputFolderFailsTheJob) {
    writeWav(dir / "in.wav", 44100, 1000);
    const OutputOptions o = options(Audio::IO::kWaveWriter);
    std::string text;
    int r = inMountNamespace(dir / "report", [&]() -> std::string {
        if (mount("tmpfs", (dir / "out").c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
            return "skip";
        Outcome out = convertHere(dir / "in.wav", o);
        if (out.state != JobState::Failed) return "state " + std::to_string(int(out.state));
        if (out.text != "file creation failed") return "text " + out.text;
        return "";
    });
    if (r == 77) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(r, 0) << readAll(dir / "report");
    EXPECT_TRUE(outputs().empty());
}

// Two inputs with the same output name (x.wav and x.wv) converted at the
// same time used to write into one file, which both reported done: the
// first submitted keeps the name, the other fails saying why, and the file
// is the complete output of the one that is done.
TEST_F(Faults, JobsWithOneOutputNameDoNotMixTheirFiles) {
    // x.wv: a lossless copy of another signal (44100 Hz int16 passes through).
    writeWav(dir / "y.wav", 44100, 44100 * 3);
    {
        OutputOptions o = options(Audio::IO::kWavpackWriter);
        ConvertFile(Filesystem::Path::Parse((dir / "y.wav").string(), Filesystem::Path::Kind::File),
                    Audio::Format::FromBytes(0x22, 16, 0, 0, 44100.0f), ConversionSettings{},
                    nullptr, o);
        fs::rename(dir / "out" / outputs()[0], dir / "x.wv");
    }
    writeWav(dir / "x.wav", 32000, 32000 * 4);
    // fp64 at 48000 Hz: no dither, so a conversion's bytes are always the same.
    auto convertAlone = [&](const char* name) {
        ConvertFile(Filesystem::Path::Parse((dir / name).string(), Filesystem::Path::Kind::File),
                    Audio::Format::FromBytes(0x48, 1, 0, 0, 48000.0f), ConversionSettings{},
                    nullptr, options(Audio::IO::kWaveWriter));
        const fs::path out = dir / "out" / outputs()[0];
        std::ifstream f(out, std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(f), {});
        fs::remove(out);
        return bytes;
    };
    const std::string fromWav = convertAlone("x.wav"), fromWv = convertAlone("x.wv");
    ASSERT_NE(fromWav, fromWv);

    Threads::Pool pool(2);
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    Row a(Filesystem::Path::Parse((dir / "x.wav").string(), Filesystem::Path::Kind::File));
    Row b(Filesystem::Path::Parse((dir / "x.wv").string(), Filesystem::Path::Kind::File));
    {
        JobQueue q(&pool);
        q.onAllJobsEnded = [&] {
            std::lock_guard l(m);
            ended = true;
            cv.notify_all();
        };
        q.Submit(a, requestFor(options(Audio::IO::kWaveWriter), SampleType::Float64));
        q.Submit(b, requestFor(options(Audio::IO::kWaveWriter), SampleType::Float64));
        std::unique_lock l(m);
        auto over = [](const Row& r) {
            return r.state == JobState::Finished || r.state == JobState::Failed;
        };
        ASSERT_TRUE(
            cv.wait_for(l, std::chrono::seconds(60), [&] { return ended && over(a) && over(b); }));
    }
    Row& done = a;
    Row& refused = b;
    EXPECT_EQ(done.text(), "done");
    EXPECT_EQ(refused.state, JobState::Failed);
    EXPECT_EQ(refused.text(), "output name already taken by " + done.path.NativeText());
    ASSERT_EQ(outputs().size(), 1u);
    std::ifstream f(dir / "out" / outputs()[0], std::ios::binary);
    const std::string got(std::istreambuf_iterator<char>(f), {});
    EXPECT_TRUE(got == (&done == &a ? fromWav : fromWv))
        << "not the output of the job that is done";
}

// A failed conversion leaves an earlier output of the same name as it was.
TEST_F(Faults, AFailedJobKeepsAnEarlierOutput) {
    writeWav(dir / "in.wav", 44100, 44100 / 2);
    ASSERT_EQ(runJob(dir / "in.wav", options(Audio::IO::kWaveWriter)).state, JobState::Finished);
    const fs::path out = dir / "out" / outputs()[0];
    const auto size = fs::file_size(out);
    StdioFaults::FailAt(Call::OutputWrite, 3, ENOSPC);
    expectFailedWithMessage(runJob(dir / "in.wav", options(Audio::IO::kWaveWriter)), "second run");
    ASSERT_EQ(outputs().size(), 1u);
    EXPECT_EQ(fs::file_size(out), size);
}

// The output folder made read-only during a job: the output cannot be named, nor its hidden
// temporary file removed; the job fails and names the file it had to leave.
TEST_F(Faults, APartialOutputThatCannotBeRemovedIsNamed) {
    writeWav(dir / "in.wav", 44100, 44100 * 10);
    std::vector<std::string> warnings;
    std::string failure;
    {
        TestSupport::NoPermissionOverride obey;
        StdioFaults::BeforeRead(20, [&](const std::string&) {  // the output is open by then
            fs::permissions(dir / "out", fs::perms::owner_read | fs::perms::owner_exec);
        });
        try {
            ConvertFile(
                Filesystem::Path::Parse((dir / "in.wav").string(), Filesystem::Path::Kind::File),
                Audio::Format::FromBytes(0x48, 1, 0, 0, 48000.0f), ConversionSettings{}, nullptr,
                options(Audio::IO::kWaveWriter), &warnings);
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }
    fs::permissions(dir / "out", fs::perms::owner_all);
    const std::vector<std::string> left = outputs();
    if (failure.empty() && left.size() == 1 && left[0].find(".part") == std::string::npos)
        GTEST_SKIP() << "permissions are not enforced for this user";
    EXPECT_NE(failure.find(std::strerror(EACCES)), std::string::npos) << failure;
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(left[0]), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("could not be removed: " + std::string(std::strerror(EACCES))),
              std::string::npos)
        << warnings[0];
}

// The demo file is written like any output: a full disk leaves no truncated
// file, and an earlier file of that name stays as it was.
TEST_F(Faults, TheDemoFileIsCompleteOrAbsent) {
    const fs::path demo = dir / "out" / "demo.wav";
    StdioFaults::FailAt(Call::OutputWrite, 5, ENOSPC);
    EXPECT_ANY_THROW(WriteDemoFile(demo.string()));
    EXPECT_TRUE(outputs().empty());
    StdioFaults::Reset();
    std::ofstream(demo) << "keep";
    StdioFaults::FailAt(Call::OutputWrite, 2, ENOSPC);
    EXPECT_ANY_THROW(WriteDemoFile(demo.string()));
    EXPECT_EQ(outputs(), std::vector<std::string>{"demo.wav"});
    EXPECT_EQ(fs::file_size(demo), 4u);
    StdioFaults::Reset();
    WriteDemoFile(demo.string());
    EXPECT_EQ(fs::file_size(demo), 44u + 4 * 44100 * 4);
}
