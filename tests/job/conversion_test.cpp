// The conversion job in-process: output names, pass-through, pre-ring crop,
// abort and failure clean-up, and the job queue's outcome rules.

#include "job/Conversion.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "audio/io/OpenFile.h"
#include "job/InputReport.h"
#include "job/JobQueue.h"
#include "support/JobRows.h"
#include "support/StopAt.h"
#include "support/WavFiles.h"
#include "threads/Pool.h"

namespace fs = std::filesystem;
using Audio::Format;

namespace {


// 16-bit mono PCM at `rate` with `frames` frames of a quiet ramp.
void writeWav(const fs::path& p, std::uint32_t rate, std::uint32_t frames) {
    TestSupport::writeWav16(p, rate, 1, frames,
                            [](std::uint16_t, std::uint32_t i) { return std::int16_t(i % 1000); });
}

using TestSupport::StopAt;

class Temp : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tessival_job_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::size_t fileCount() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
    Filesystem::Path path(const std::string& leaf) const {
        return Filesystem::Path::Parse((dir / leaf).string(), Filesystem::Path::Kind::File);
    }
    fs::path dir;
};

}  // namespace

TEST(MakeOutputPath, NamesAfterTheSettings) {
    ConversionSettings s;
    auto in = Filesystem::Path::Parse("C:\\Music\\take.wav", Filesystem::Path::Kind::File);
    Format f = Format::FromBytes(0x23, 24, 0, 0, 48000.0f);
    EXPECT_EQ(MakeOutputPath(in, f, 0.25, s).ToString('\\'),
              "C:\\Music\\take [48000i24 speed=1.000 gain=1.00 delay=0.25].wav");
    s.speed = 0.5;
    s.gain = 2.0;
    f = Format::FromBytes(0x48, 1, 0, 0, 0.0f);
    EXPECT_EQ(MakeOutputPath(Filesystem::Path::Parse("/a/b.c.wv", Filesystem::Path::Kind::File), f,
                             -0.4, s)
                  .ToString('/'),
              "/a/b.c [0f64 speed=0.500 gain=2.00 delay=-0.40].wav");
    // A delay that rounds to nothing is no negative zero.
    EXPECT_EQ(MakeOutputPath(Filesystem::Path::Parse("/a/b.wav", Filesystem::Path::Kind::File), f,
                             -1e-6, s)
                  .Leaf(),
              "b [0f64 speed=0.500 gain=2.00 delay=0.00].wav");
    EXPECT_THROW(
        MakeOutputPath(Filesystem::Path::Parse("/a/noext", Filesystem::Path::Kind::File), f, 0, s),
        Filesystem::Path::NoExtension);
    // A name that is all extension, with or without a folder (the job failed without a text).
    for (const char* name : {".wav", "a/.wav"}) {
        const std::string text = name;
        EXPECT_EQ(
            MakeOutputPath(Filesystem::Path::Parse(name, Filesystem::Path::Kind::File), f, 0, s)
                .ToString('/'),
            text.substr(0, text.size() - 4) + " [0f64 speed=0.500 gain=2.00 delay=0.00].wav");
    }
}

TEST_F(Temp, SameRateIsAPassThroughAndRateZeroRelabelsOnce) {
    writeWav(dir / "a.wav", 44100, 1000);
    ConversionSettings s;
    Format req = Format::FromBytes(0x22, 16, 0, 0, 44100.0f);
    auto chain = Audio::IO::OpenInput(path("a.wav"), &s, nullptr, nullptr, nullptr, req);
    // nothing to convert: the reader's stream itself
    EXPECT_EQ(chain.format().sampleRate, 44100.0f);
    EXPECT_EQ(chain.tag().origin, 0.0);

    // Rate 0 with speed 1.01: relabelled to 44541 Hz, no filter needed.
    s.speed = 1.01;
    Format in;
    chain = Audio::IO::OpenInput(path("a.wav"), &s, &in, nullptr, nullptr,
                                 Format::FromBytes(0x22, 16, 0, 0, 0.0f));
    EXPECT_EQ(in.sampleRate, 44100.0f);
    EXPECT_EQ(chain.format().sampleRate, 44541.0f);
    EXPECT_EQ(chain.tag().origin, 0.0);  // a relabelling, not a second speed change
}

TEST_F(Temp, ARelabelledSpeedThatWholeHertzCannotHoldIsReported) {
    writeWav(dir / "a.wav", 44100, 1000);
    const struct {
        double speed;
        const char* warning;  // empty: none
    } cases[] = {
        {1.01, ""},  // 44541 Hz exactly
        {1.001, "44144.1 Hz is stored as 44144 Hz, a speed of 1.0009977 instead of 1.0010000"},
        {1.00001, "44100.441 Hz is stored as 44100 Hz, a speed of 1.0000000 instead of 1.0000100"},
    };
    for (const auto& c : cases) {
        ConversionSettings s;
        s.speed = c.speed;
        std::vector<std::string> warnings;
        const Filesystem::Path out = ConvertFile(
            path("a.wav"), Format::FromBytes(0x22, 16, 0, 0, 0.0f), s, nullptr, {}, &warnings);
        fs::remove(out.NativeText());
        if (*c.warning == 0) {
            EXPECT_TRUE(warnings.empty()) << c.speed;
        } else {
            ASSERT_EQ(warnings.size(), 1u) << c.speed;
            EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        }
    }
}

// The pre-ring is cropped to the nearest frame: an offset of 0.7 leaves the output 0.3 early.
TEST_F(Temp, ANegativeSyncOffsetIsReported) {
    writeWav(dir / "s.wav", 44100, 1000);
    for (double offset : {0.3, 0.7, -0.4}) {
        ConversionSettings s;
        s.syncOffset = offset;
        std::vector<std::string> warnings;
        const Filesystem::Path out = ConvertFile(
            path("s.wav"), Format::FromBytes(0x22, 16, 0, 0, 48000.0f), s, nullptr, {}, &warnings);
        fs::remove(out.NativeText());
        if (offset > 0) {
            EXPECT_TRUE(warnings.empty());
            EXPECT_NE(out.NativeText().find(offset < 0.5 ? "delay=0.30" : "delay=-0.30"),
                      std::string::npos)
                << out.NativeText();
        } else {
            EXPECT_EQ(warnings, std::vector<std::string>{
                                    "a sync offset below 0 does not move the output: it is "
                                    "taken as 0 (the name gives the output's delay)"});
            EXPECT_NE(out.NativeText().find("delay=0.00"), std::string::npos) << out.NativeText();
        }
    }
}

TEST_F(Temp, APassBandLoweredByTheStopBandIsReported) {
    writeWav(dir / "p.wav", 44100, 1000);
    constexpr double kUnset = std::numeric_limits<double>::infinity();
    const struct {
        double baseband, stopband;
        float rate;
        const char* warning;  // empty: none
    } cases[] = {
        {16000, 16100, 44100,
         "the pass band ends at 15600 Hz, not at 16000 Hz: the filters keep at least 500 Hz "
         "between it and the stop band (16100 Hz)"},
        {16000, 16200, 48000, "the pass band ends at 15700 Hz, not at 16000 Hz"},
        {20000, 20400, 48000, "the pass band ends at 19900 Hz, not at 20000 Hz"},
        {16000, 16500, 48000, ""},      // 500 Hz apart: as asked
        {15884.1, 16384.1, 48000, ""},  // the same, a rounding apart
        {kUnset, 16100, 48000, ""},     // no pass band asked for
        {20000, kUnset, 32000, ""},     // lowered by the rate alone
    };
    for (const auto& c : cases) {
        ConversionSettings s;
        s.basebandMax = c.baseband;
        s.stopbandMin = c.stopband;
        std::vector<std::string> warnings;
        const Filesystem::Path out = ConvertFile(
            path("p.wav"), Format::FromBytes(0x22, 16, 0, 0, c.rate), s, nullptr, {}, &warnings);
        fs::remove(out.NativeText());
        if (*c.warning == 0) {
            EXPECT_TRUE(warnings.empty()) << c.stopband << " " << warnings[0];
        } else {
            ASSERT_EQ(warnings.size(), 1u) << c.stopband;
            EXPECT_EQ(warnings[0].rfind(c.warning, 0), 0u) << warnings[0];
        }
    }
}

TEST_F(Temp, CropsThePreRingAndKeepsItOnRequest) {
    writeWav(dir / "b.wav", 44100, 20000);
    ConversionSettings s;
    Format req = Format::FromBytes(0x22, 16, 0, 0, 48000.0f);
    auto chain = Audio::IO::OpenInput(path("b.wav"), &s, nullptr, nullptr, nullptr, req);
    const double origin = chain.tag().origin;
    EXPECT_GT(origin, 10.0);  // the filters' delay in output frames
    Filesystem::Path out = ConvertFile(path("b.wav"), req, s, nullptr);
    std::string name = out.Leaf();
    char want[64];
    std::snprintf(want, sizeof want, "delay=%.2f].wav", origin - std::round(origin));
    EXPECT_NE(name.find(want), std::string::npos) << name << " " << want;
    s.cropPreRing = false;
    out = ConvertFile(path("b.wav"), req, s, nullptr);
    std::snprintf(want, sizeof want, "delay=%.2f].wav", origin);
    EXPECT_NE(out.Leaf().find(want), std::string::npos) << out.Leaf();
}

TEST_F(Temp, AbortAndFailureLeaveNoFile) {
    writeWav(dir / "c.wav", 44100, 44100 * 30);  // several MiB of output
    ConversionSettings s;
    StopAt stop(1);
    Format req = Format::FromBytes(0x23, 24, 0, 0, 48000.0f);
    try {
        ConvertFile(path("c.wav"), req, s, &stop);
        FAIL() << "not aborted";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "aborted");
    }
    EXPECT_EQ(fileCount(), 1u);

    std::ofstream(dir / "bad.wav") << "RIFF....WAVEjunk";
    EXPECT_THROW(ConvertFile(path("bad.wav"), req, s, nullptr), Audio::IO::FileError);
    EXPECT_EQ(fileCount(), 2u);
}

// Another program at work while a file converts. Written to in place (an export or a copy over
// it, a recording going on), the input read mixes two files under the first one's header: the
// job fails, as it does when the file is cut short. Replaced by a new file under its name, or
// renamed, it was read whole as it was. The output's folder moved away: the job fails, and no
// hidden temporary file stays there.
TEST_F(Temp, ChangesByOtherProgramsDuringAConversion) {
    const fs::path input = dir / "in" / "take.wav", out = dir / "out";
    const Format request = Format::FromBytes(0x23, 24, 0, 0, 48000.0f);
    const Filesystem::Path named =
        Filesystem::Path::Parse(input.string(), Filesystem::Path::Kind::File);
    OutputOptions options;
    options.directory = Filesystem::Path::Parse(out.string(), Filesystem::Path::Kind::Directory);
    fs::create_directories(dir / "in");
    fs::create_directories(out);
    writeWav(input, 44100, 1000);
    const std::string output = ConvertFile(named, request, {}, nullptr, options).NativeText();
    const struct {
        const char* name;
        std::function<void()> change;
        std::string failure;  // the start of the job's message; empty: done
        IfExists ifExists = IfExists::Replace;
    } cases[] = {
        {"appended", [&] { std::ofstream(input, std::ios::app) << "more"; },
         "the input changed while it was read"},
        {"overwritten",
         [&] {
             std::fstream f(input, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(100000);
             f << "noise";
         },
         "the input changed while it was read"},
        {"cut short", [&] { fs::resize_file(input, 50000); },
         "the file shrank from 2646044 to 50000 bytes while it was read"},
        {"replaced",
         [&] {
             writeWav(dir / "in" / "new.wav", 44100, 1000);
             fs::rename(dir / "in" / "new.wav", input);
         },
         ""},
        {"renamed", [&] { fs::rename(input, dir / "in" / "moved.wav"); }, ""},
        {"folder moved", [&] { fs::rename(out, dir / "moved"); },
         "cannot give the output file its name, "},
        // Skipped, it read: a folder is no output.
        {"a folder takes the name", [&] { fs::create_directory(output); }, output + " is a folder",
         IfExists::Skip},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const fs::path& folder : {dir / "in", out, dir / "moved"}) fs::remove_all(folder);
        fs::create_directories(dir / "in");
        fs::create_directories(out);
        writeWav(input, 44100, 44100 * 30);  // the drain reports after each MiB written
        TestSupport::ActAt act(1, c.change);
        options.ifExists = c.ifExists;
        std::string failure;
        try {
            ConvertFile(named, request, {}, &act, options);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        EXPECT_TRUE(act.acted());
        EXPECT_EQ(failure.rfind(c.failure, 0), 0u) << failure;
        // A failed job leaves nothing, wherever its folder went; one done, its output.
        for (const fs::path& folder : {out, dir / "moved"}) {
            if (!fs::exists(folder)) continue;
            std::vector<std::string> left;
            for (const auto& e : fs::directory_iterator(folder)) left.push_back(e.path().string());
            EXPECT_EQ(left.size(), c.failure.empty() || fs::exists(output) ? 1u : 0u) << folder;
        }
    }
}

TEST_F(Temp, AnExistingFileThatCannotBeReplacedIsNotDeleted) {
    writeWav(dir / "d.wav", 44100, 100);
    ConversionSettings s;
    Format req = Format::FromBytes(0x22, 16, 0, 0, 44100.0f);
    // the output name is taken by a folder: creation fails, and the folder stays
    fs::create_directories(dir / "d [44100i16 speed=1.000 gain=1.00 delay=0.00].wav");
    try {
        ConvertFile(path("d.wav"), req, s, nullptr);
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "file creation failed");
    }
    EXPECT_TRUE(fs::is_directory(dir / "d [44100i16 speed=1.000 gain=1.00 delay=0.00].wav"));
}

namespace {

using TestSupport::TestRow;

}  // namespace

TEST_F(Temp, QueueEndsRowsAsTheTableSays) {
    writeWav(dir / "ok.wav", 44100, 5000);
    std::ofstream(dir / "bad.wav") << "nonsense";
    Threads::Pool pool(2);
    JobQueue q(&pool);
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    q.onAllJobsEnded = [&] {
        std::lock_guard l(m);
        ended = true;
        cv.notify_all();
    };
    TestRow ok(path("ok.wav")), bad(path("bad.wav")), missing(path("gone.wav")),
        noext(path("noext"));
    ConversionRequest request;
    request.outputRate = 48000.0f;
    for (TestRow* r : {&ok, &bad, &missing, &noext}) q.Submit(*r, request);
    // The callback may also run when an early job ends before the next is
    // queued; wait for every row.
    std::unique_lock l(m);
    ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(60), [&] {
        for (TestRow* r : {&ok, &bad, &missing, &noext})
            if (r->state == JobState::Queued || r->state == JobState::Running) return false;
        return ended;
    }));
    EXPECT_EQ(ok.state, JobState::Finished);
    EXPECT_EQ(ok.text(), "done");
    EXPECT_EQ(bad.state, JobState::Failed);
    // The State text, then the reader's reason behind it.
    EXPECT_EQ(bad.text(), "???: Unexpected end of IFF stream");
    EXPECT_EQ(missing.text(), "???: " + (dir / "gone.wav").string() + ": No such file or directory");
    EXPECT_EQ(noext.state, JobState::Failed);
    EXPECT_EQ(noext.text(), "Could not open file");
    EXPECT_EQ(q.ActiveJobs(), 0);
}

TEST_F(Temp, AbortStopsRunningJobsAndSkipsQueuedOnes) {
    writeWav(dir / "long.wav", 44100, 44100 * 60);
    Threads::Pool pool(1);
    JobQueue q(&pool);
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    q.onAllJobsEnded = [&] {
        std::lock_guard l(m);
        ended = true;
        cv.notify_all();
    };
    std::vector<std::unique_ptr<TestRow>> rows;
    ConversionRequest request;
    request.outputRate = 96000.0f;
    request.sampleType = SampleType::Int24;
    for (int i = 0; i < 4; ++i) {
        rows.push_back(std::make_unique<TestRow>(path("long.wav")));
        q.Submit(*rows.back(), request);
    }
    while (rows[0]->state != JobState::Running)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    q.AbortAll();
    std::unique_lock l(m);
    ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(60), [&] { return ended; }));
    EXPECT_EQ(rows[0]->state, JobState::Failed);
    EXPECT_EQ(rows[0]->text(), "aborted");
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(rows[i]->state, JobState::Finished);
        EXPECT_EQ(rows[i]->text(), "queued");
    }
    EXPECT_FALSE(q.AbortRequested());
    EXPECT_EQ(fileCount(), 1u);  // only the input
}

// While the queue is held (a front end asking whether to abort) no queued job starts; an
// abort then finds them all queued (they ran to "done" while the question was open), and a
// release runs them.
TEST_F(Temp, AHeldQueueStartsNothingUntilReleasedOrAborted) {
    writeWav(dir / "short.wav", 44100, 2000);
    for (const bool abort : {true, false}) {
        SCOPED_TRACE(abort ? "aborted" : "released");
        Threads::Pool pool(1);
        JobQueue q(&pool);
        ConversionRequest request;
        request.outputRate = 48000.0f;
        std::vector<std::unique_ptr<TestRow>> rows;
        q.Hold(true);
        for (int i = 0; i < 3; ++i) {
            rows.push_back(std::make_unique<TestRow>(path("short.wav")));
            q.Submit(*rows.back(), request);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const auto& r : rows) EXPECT_EQ(r->state, JobState::Queued);
        EXPECT_EQ(fileCount(), 1u);
        if (abort)
            q.AbortAll();
        else
            q.Hold(false);
        ASSERT_TRUE(q.WaitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(rows[0]->text(), abort ? "queued" : "done");
        EXPECT_EQ(fileCount(), abort ? 1u : 2u);  // one output name, the first job's
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename() != "short.wav") fs::remove(entry.path());
    }
}

// Two inputs of one batch whose outputs share a name: the first keeps it, the
// second is refused (it would have replaced the first's output, both "done").
// Once the batch has ended the name is free again.
TEST_F(Temp, OneBatchDoesNotWriteTwoInputsToOneName) {
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "out");
    writeWav(dir / "a" / "take.wav", 44100, 3000);
    writeWav(dir / "b" / "take.wav", 44100, 3000);
    Threads::Pool pool(1);
    JobQueue q(&pool);
    std::mutex m;
    std::condition_variable cv;
    q.onAllJobsEnded = [&] {
        std::lock_guard l(m);
        cv.notify_all();
    };
    ConversionRequest request;
    request.outputRate = 48000.0f;
    request.outputFolder =
        Filesystem::Path::Parse((dir / "out").string(), Filesystem::Path::Kind::Directory);
    auto runBatch = [&](std::vector<TestRow*> rows) {
        {
            JobQueue::Batch batch(q);  // the first may end before the second is submitted
            for (TestRow* r : rows) q.Submit(*r, request);
        }
        std::unique_lock l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(60), [&] {
            for (TestRow* r : rows)
                if (r->state == JobState::Queued || r->state == JobState::Running) return false;
            return q.ActiveJobs() == 0;
        }));
    };
    TestRow first(path("a/take.wav")), second(path("b/take.wav"));
    runBatch({&first, &second});
    EXPECT_EQ(first.state, JobState::Finished);
    EXPECT_EQ(first.text(), "done");
    EXPECT_EQ(second.state, JobState::Failed);
    EXPECT_NE(second.text().find("already taken by " + (dir / "a" / "take.wav").string()),
              std::string::npos)
        << second.text();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);

    TestRow again(path("b/take.wav"));
    runBatch({&again});
    EXPECT_EQ(again.text(), "done");

    // The same input added twice to one batch (the window's list, while the batch runs) is
    // converted again: its name is its own.
    fs::create_directory_symlink(dir / "a", dir / "alias");
    TestRow once(path("a/take.wav")), twice(path("a/take.wav")), spelt(path("alias/take.wav"));
    runBatch({&once, &twice, &spelt});
    EXPECT_EQ(once.text(), "done");
    EXPECT_EQ(twice.text(), "done");
    EXPECT_EQ(spelt.text(), "done");
}

// A job that ends before the next of its batch is submitted keeps its
// output name from it while the batch is open.
TEST_F(Temp, ABatchKeepsItsNamesWhileItIsSubmitted) {
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    writeWav(dir / "a" / "take.wav", 44100, 3000);
    writeWav(dir / "b" / "take.wav", 44100, 3000);
    Threads::Pool pool(1);
    JobQueue q(&pool);
    ConversionRequest request;
    request.outputFolder =
        Filesystem::Path::FromNative(dir.string(), Filesystem::Path::Kind::Directory);
    TestRow first(path("a/take.wav")), second(path("b/take.wav"));
    {
        JobQueue::Batch batch(q);
        q.Submit(first, request);
        while (q.ActiveJobs() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(q.WaitIdle(std::chrono::milliseconds(0)));
        q.Submit(second, request);
    }
    ASSERT_TRUE(q.WaitIdle(std::chrono::seconds(60)));
    EXPECT_EQ(first.text(), "done");
    EXPECT_EQ(second.text(), "output name already taken by " + (dir / "a" / "take.wav").string());
}

// Two jobs whose outputs are one file under two spellings of its folder:
// the one submitted first writes it even when it reaches its claim last,
// and the other is refused.
TEST_F(Temp, OutputsAreClaimedAsFilesInSubmissionOrder) {
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "out");
    fs::create_directory_symlink(dir / "out", dir / "link");
    writeWav(dir / "a" / "take.wav", 44100, 3000);
    writeWav(dir / "b" / "take.wav", 44100, 3000);
    for (const char* other : {"link", "out/.", "out"}) {
        SCOPED_TRACE(other);
        for (const auto& e : fs::directory_iterator(dir / "out")) fs::remove(e.path());
        Threads::Pool pool(2);
        JobQueue q(&pool);
        ConversionRequest first, second;
        first.outputRate = second.outputRate = 48000.0f;
        first.outputFolder =
            Filesystem::Path::FromNative((dir / "out").string(), Filesystem::Path::Kind::Directory);
        second.outputFolder =
            Filesystem::Path::FromNative((dir / other).string(), Filesystem::Path::Kind::Directory);
        TestRow slow(path("a/take.wav")), fast(path("b/take.wav"));
        slow.startDelay = std::chrono::milliseconds(300);
        q.Submit(slow, first);
        q.Submit(fast, second);
        ASSERT_TRUE(q.WaitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(slow.text(), "done");
        EXPECT_EQ(fast.text(), "output name already taken by " + (dir / "a" / "take.wav").string());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
    }
}

// Two walked folders with the same inner folder mirror into one new folder below the output
// folder: the first job creates it, and the second, which claims its name after that, is still
// refused (before, the two claims read the folder once by its text and once by its identity).
TEST_F(Temp, AMirroredFolderCreatedByTheFirstJobStillClaimsItsNames) {
    for (const char* side : {"a", "b"}) {
        fs::create_directories(dir / side / "s");
        writeWav(dir / side / "s" / "take.wav", 44100, 3000);
    }
    fs::create_directories(dir / "out");
    Threads::Pool pool(1);  // the second job starts after the first made the folder
    JobQueue q(&pool);
    ConversionRequest request;
    request.outputRate = 48000.0f;
    request.outputFolder =
        Filesystem::Path::FromNative((dir / "out").string(), Filesystem::Path::Kind::Directory);
    TestRow first(path("a/s/take.wav")), second(path("b/s/take.wav"));
    first.walkedFrom =
        Filesystem::Path::FromNative((dir / "a").string(), Filesystem::Path::Kind::Directory);
    second.walkedFrom =
        Filesystem::Path::FromNative((dir / "b").string(), Filesystem::Path::Kind::Directory);
    {
        JobQueue::Batch batch(q);
        q.Submit(first, request);
        q.Submit(second, request);
    }
    ASSERT_TRUE(q.WaitIdle(std::chrono::seconds(60)));
    EXPECT_EQ(first.text(), "done");
    EXPECT_EQ(second.text(), "output name already taken by " + (dir / "a/s/take.wav").string());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out/s"), fs::directory_iterator()), 1);
}

// Outputs up to the file system's 255 bytes per name are written (the
// temporary name stays short); a longer one is refused before any work with
// a reason, not "file creation failed".
TEST_F(Temp, LongOutputNamesFitOrAreRefusedWithTheReason) {
    ConversionSettings s;
    const Format request = Format::FromBytes(0x22, 16, 0, 0, 48000.0f);
    const std::string suffix = " [48000i16 speed=1.000 gain=1.00 delay=0.00].wav";
    const std::string fits(255 - suffix.size(), 'a'), tooLong(256 - suffix.size(), 'b');
    writeWav(dir / (fits + ".wav"), 44100, 1000);
    writeWav(dir / (tooLong + ".wav"), 44100, 1000);
    const Filesystem::Path out = ConvertFile(path(fits + ".wav"), request, s, nullptr);
    EXPECT_EQ(out.Leaf(), fits + suffix);
    EXPECT_TRUE(fs::exists(out.NativeText()));
    try {
        ConvertFile(path(tooLong + ".wav"), request, s, nullptr);
        ADD_FAILURE() << "a 256-byte name was written";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("longer than a file name may be (256 bytes"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(fileCount(), 3u);  // two inputs, one output, nothing left over

    // So for the path: an output whose path is one byte under PATH_MAX is written (its
    // temporary name made the path 23 bytes longer, and the file failed).
    const std::string leaf = "x" + suffix;
    fs::path deep = dir;
    while (deep.string().size() + 1 + leaf.size() < PATH_MAX - 1) {
        const std::size_t room = PATH_MAX - 1 - deep.string().size() - 1 - leaf.size() - 1;
        deep /= std::string(std::min<std::size_t>(room, 250), 'd');
    }
    ASSERT_EQ(deep.string().size() + 1 + leaf.size(), std::size_t{PATH_MAX - 1});
    fs::create_directories(deep);
    writeWav(deep / "x.wav", 44100, 1000);
    const Filesystem::Path nearTheLimit = ConvertFile(
        Filesystem::Path::FromNative((deep / "x.wav").string(), Filesystem::Path::Kind::File),
        request, s, nullptr);
    EXPECT_EQ(nearTheLimit.NativeText(), (deep / leaf).string());
    EXPECT_TRUE(fs::exists(deep / leaf));
}

TEST_F(Temp, InputSecondsComesFromTheHeader) {
    writeWav(dir / "half.wav", 48000, 24000);
    std::ofstream(dir / "broken.wav", std::ios::binary) << "RIFF";
    const struct {
        const char* leaf;
        std::optional<double> seconds;
    } cases[] = {{"half.wav", 0.5}, {"broken.wav", std::nullopt}, {"missing.wav", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(InputSeconds(path(c.leaf)), c.seconds) << c.leaf;
}
