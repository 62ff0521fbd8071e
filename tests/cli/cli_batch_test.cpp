// Batch work through the real tessival-cli: JSON lines, shards of a file
// list, an interrupted batch resumed with --if-exists skip, mirrored output
// folders, and pipes. Outputs are fp64 or same-rate int16 (never dithered),
// so two runs give the same bits.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "support/IOTestUtil.h"
#include "support/MiniJson.h"
#include "support/WavFiles.h"

namespace fs = std::filesystem;
using TestSupport::JsonObject;
using TestSupport::MiniJson;

namespace {

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct ShellRun {
    int status = -1;
    std::string out, err;
};

class Batch : public ::testing::Test {
protected:
    // `command` run by the shell in the test's folder; "CLI" stands for tessival-cli.
    ShellRun sh(std::string command) {
        for (std::size_t at; (at = command.find("CLI")) != std::string::npos;)
            command.replace(at, 3, quote(TESSIVAL_CLI));
        const std::string o = dir.file("stdout.txt"), e = dir.file("stderr.txt");
        const int s = std::system(("cd " + quote(dir.path().string()) + " && { " + command +
                                   " ; } >" + quote(o) + " 2>" + quote(e))
                                      .c_str());
        ShellRun r{WIFEXITED(s) ? WEXITSTATUS(s) : -1, read(o), read(e)};
        fs::remove(o), fs::remove(e);
        return r;
    }
    static std::string read(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    // A short stereo ramp, different per `n`.
    void wav(const fs::path& rel, int n, std::uint32_t frames = 300) {
        fs::create_directories((dir.path() / rel).parent_path());
        TestSupport::writeWav16(dir.path() / rel, 44100, 2, frames, [n](int c, std::uint32_t i) {
            return std::int16_t((n * 977 + i * 31 + c * 500) % 20000 - 10000);
        });
    }
    // Starts the program on `args` in the test's folder, standard input and output the pipes'
    // ends in[0] and out[1] (closed here), standard error into the file `report`.
    pid_t start(const std::vector<std::string>& args, int in[2], int out[2],
                const std::string& report) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            const int fd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            for (int f : {in[0], in[1], out[0], out[1], fd}) close(f);
            if (chdir(dir.path().c_str()) != 0) _exit(127);
            std::vector<char*> argv{const_cast<char*>(TESSIVAL_CLI)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(TESSIVAL_CLI, argv.data());
            _exit(127);
        }
        close(in[0]), close(out[1]);
        return pid;
    }
    // Runs a batch over "many" with JSON lines into a pipe that is not read, and sends a stop
    // signal once the pipe is full.
    void stopWhileTheReaderWaits();
    // Waits up to 10 s for `pid` to end (then kills it): whether it ended by itself.
    static bool waitEnded(pid_t pid, int& status) {
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL), waitpid(pid, &status, 0);
        return false;
    }
    // Every line of `out` is one JSON object: the objects by input.
    static std::map<std::string, JsonObject> lines(const std::string& out) {
        std::map<std::string, JsonObject> byInput;
        std::istringstream s(out);
        for (std::string line; std::getline(s, line);) {
            JsonObject o = MiniJson::ParseObject(line);
            const std::string input = o.at("input").text;
            EXPECT_TRUE(byInput.emplace(input, std::move(o)).second) << "twice: " << input;
        }
        return byInput;
    }
    // Relative name -> bytes of every file below `folder`.
    std::map<std::string, std::string> tree(const std::string& folder) {
        std::map<std::string, std::string> files;
        const fs::path root = dir.path() / folder;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = read(e.path());
        return files;
    }
    IOTest::TempDir dir;
};

const std::string kSuffix44 = " [44100i16 speed=1.000 gain=1.00 delay=0.00].wav";

}  // namespace

// One line per file as it ends, with the figures of the file written, and nothing else.
TEST_F(Batch, JsonLinesCarryTheFigures) {
    wav("in/a.wav", 1, 441);
    TestSupport::writeWav16(dir.path() / "in" / "m\xff.wav", 22050, 1, 2205,
                            [](int, std::uint32_t i) { return std::int16_t(i); });
    {
        // A chunk after the audio, as recorders append them: not input frames.
        IOTest::Bytes m = IOTest::ReadFile(dir.file("in/m\xff.wav"));
        const IOTest::Bytes list = {'L', 'I', 'S', 'T', 68, 0, 0, 0};
        m.insert(m.end(), list.begin(), list.end());
        m.resize(m.size() + 68, 'x');
        const std::uint32_t riff = static_cast<std::uint32_t>(m.size() - 8);
        for (int i = 0; i < 4; ++i) m[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));
        IOTest::WriteFile(dir.file("in/m\xff.wav"), m);
    }
    IOTest::WriteFile(dir.file("in/bad.wav"), {'n', 'o', 'p', 'e'});
    fs::create_directories(dir.path() / "out");
    IOTest::WriteFile(dir.file("notes.txt"), {'n', 'o'});
    // Names refused before any job get their line too: one per name given or found.
    const ShellRun r = sh("CLI --json -q -r 48000 -t fp64 -o out in gone.wav notes.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    const auto byInput = lines(r.out);
    ASSERT_EQ(byInput.size(), 5u) << r.out;
    for (const char* refused : {"gone.wav", "notes.txt"}) {
        EXPECT_EQ(byInput.at(refused).at("state").text, "failed");
        EXPECT_NE(
            r.err.find(std::string(refused) + ": error: " + byInput.at(refused).at("reason").text),
            std::string::npos)
            << r.err;
    }
    const struct {
        std::string input;
        double inRate;
        std::int64_t framesIn;
    } good[] = {{"in/a.wav", 44100, 441}, {"in/m\xff.wav", 22050, 2205}};
    for (const auto& g : good) {
        const JsonObject& o = byInput.at(g.input);
        EXPECT_EQ(o.at("state").text, "done");
        EXPECT_EQ(o.at("reason").kind, TestSupport::JsonValue::Null);
        EXPECT_EQ(o.at("input_rate").number, g.inRate);
        EXPECT_EQ(o.at("output_rate").number, 48000);
        EXPECT_EQ(o.at("frames_in").number, g.framesIn);
        EXPECT_EQ(o.at("sample_type").text, "fp64");
        EXPECT_EQ(o.at("container").text, "wav");
        EXPECT_GE(o.at("seconds").number, 0);
        // Quiet inputs: levels below full scale, nothing clipped, the gain asked for.
        EXPECT_LT(o.at("peak_dbfs").number, -6);
        EXPECT_LT(o.at("true_peak_dbtp").number, -6);
        EXPECT_EQ(o.at("clipped_samples").number, 0);
        EXPECT_EQ(o.at("gain").number, 1);
        // frames_out is what the file holds: data bytes after the 46-byte header / (8 bytes x
        // channels); the input's frames at the new rate and the filters' post-ring.
        const IOTest::Bytes written = IOTest::ReadFile(dir.file(o.at("output").text));
        ASSERT_GT(written.size(), 46u) << o.at("output").text;
        const std::uint32_t channels = written[22];
        EXPECT_EQ(o.at("frames_out").number, double(written.size() - 46) / (8 * channels));
        EXPECT_GE(o.at("frames_out").number, g.framesIn * 48000 / g.inRate);
        EXPECT_LT(o.at("frames_out").number, g.framesIn * 48000 / g.inRate + 2000);
        EXPECT_EQ(o.at("channel_peaks_dbfs").items.size(), channels);
    }
    const JsonObject& bad = byInput.at("in/bad.wav");
    EXPECT_EQ(bad.at("state").text, "failed");
    EXPECT_NE(bad.at("reason").text.find("???"), std::string::npos);
    EXPECT_EQ(bad.at("output").kind, TestSupport::JsonValue::Null);
    EXPECT_EQ(bad.at("peak_dbfs").kind, TestSupport::JsonValue::Null);
}

// Standard output that cannot take the JSON lines or the results (a reader that went away, a
// full disk): the batch still ends with whole outputs and no temporary file, and the run fails
// saying why. (A closed pipe used to kill the tool by SIGPIPE, a ".part" file left behind.)
TEST_F(Batch, ResultsThatCannotBeWrittenFailTheRunButNotTheOutputs) {
    for (int n = 0; n < 3; ++n) wav("in/" + std::to_string(n) + ".wav", n, 20000);
    fs::create_directory(dir.path() / "ref");
    ASSERT_EQ(sh("CLI -q -j 1 -r 48000 -t fp64 -o ref in").status, 0);
    const auto expected = tree("ref");
    const struct {
        const char* args;
        const char* why;
    } cases[] = {{"--json", "Broken pipe"},
                 {"", "Broken pipe"},
                 {"--json >/dev/full", "No space"},
                 {"--json >&-", "Bad file descriptor"}};  // not a descriptor the run opened
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        fs::remove_all(dir.path() / "out");
        fs::create_directory(dir.path() / "out");
        const std::string command = "cd " + quote(dir.path().string()) + " && exec " +
                                    quote(TESSIVAL_CLI) + " -q -j 1 -r 48000 -t fp64 -o out in " +
                                    c.args + " 2>" + quote(dir.file("err.txt"));
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        close(fds[0]);  // the reader is gone before the first line
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string err = read(dir.file("err.txt"));
        EXPECT_NE(err.find("cannot write the "), std::string::npos) << err;
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
        EXPECT_TRUE(tree("out") == expected) << "the outputs whole, nothing else";
    }
    // The stream itself cannot go to a closed standard output: refused before any work.
    const ShellRun r = sh("CLI -q -r 48000 --stdout in/0.wav >&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--stdout: standard output is closed"), std::string::npos) << r.err;
}

// What the caller set for the run holds: an output beyond the file size limit (ulimit -f, which
// cluster schedulers pass on) fails alone, leaving nothing, where the signal killed the run;
// stop signals started ignored (nohup, a script's background job) stay ignored, where they
// aborted the batch.
TEST_F(Batch, TheCallersLimitsAndIgnoredSignalsHold) {
    wav("in/big.wav", 1, 441000);
    for (int n = 0; n < 3; ++n) wav("in/small" + std::to_string(n) + ".wav", n, 300);
    fs::create_directory(dir.path() / "out");
    ShellRun r = sh("ulimit -f 1000; CLI -j 1 -r 48000 -t fp64 -o out in");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("big.wav -> -: failed: cannot write the output file: File too large"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tree("out").size(), 3u) << "the three small outputs, no partial file";

    for (int n = 0; n < 20; ++n) wav("many/" + std::to_string(n) + ".wav", n, 44100);
    fs::create_directory(dir.path() / "out2");
    // The signals are sent once the first temporary file exists, the handlers set.
    r =
        sh("(trap '' HUP INT; exec CLI -q -j 1 -r 48000 -t fp64 -o out2 many) & p=$!; "
           "until ls -a out2 | grep -q part || ! kill -0 $p 2>/dev/null; do :; done; "
           "kill -HUP $p; kill -INT $p; wait $p");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(tree("out2").size(), 20u) << r.out;
}

// N tasks given the same list in any order, with names given twice, take every file once.
TEST_F(Batch, ShardsSplitTheListExactly) {
    std::string list;
    for (int i = 0; i < 11; ++i) {
        const std::string name = "in/" + std::string(i % 3 ? "" : "sub/") + std::to_string(i) + ".wav";
        wav(name, i, 10);
        list = name + '\0' + list;  // reversed, NUL-separated
    }
    std::ofstream(dir.path() / "list", std::ios::binary) << list;
    const std::set<std::string> all = [&] {
        std::set<std::string> s;
        for (const auto& [name, bytes] : tree("in")) s.insert("in/" + name);
        return s;
    }();
    for (int count : {1, 2, 3, 4, 12}) {
        std::multiset<std::string> taken;
        for (int index = 0; index < count; ++index) {
            // Half the tasks walk the folder, half read the list (and get one name twice).
            const std::string inputs = index % 2 ? "in" : "--files-from list -0 in/1.wav";
            const ShellRun r = sh("CLI --json -q -r 44100 --if-exists replace --shard " +
                             std::to_string(index) + "/" + std::to_string(count) + " " + inputs);
            ASSERT_EQ(r.status, 0) << r.err;
            for (const auto& [input, o] : lines(r.out)) taken.insert(input);
        }
        EXPECT_EQ(taken, std::multiset<std::string>(all.begin(), all.end())) << count;
    }
    // A name refused before any job is reported once, by the first task.
    for (int index = 0; index < 3; ++index) {
        const ShellRun r = sh("CLI --json -q -r 44100 --if-exists replace --shard " +
                              std::to_string(index) + "/3 in missing.wav");
        EXPECT_EQ(r.status, index == 0 ? 1 : 0) << r.err;
        EXPECT_EQ(lines(r.out).count("missing.wav"), index == 0 ? 1u : 0u) << index;
        EXPECT_EQ(r.err.find("missing.wav") != std::string::npos, index == 0) << r.err;
    }
    EXPECT_EQ(sh("CLI --shard 3/3 in").status, 2);
    EXPECT_EQ(lines(sh("printf 'in/1.wav\\nin/2.wav\\n' | CLI --files-from - --json -q").out).size(),
              2u);
}

// The Slurm script gives task k of a plain array (0-N or M-N) share k; a stepped or listed
// array, which would leave shares to no task, is refused by every task (half the files were
// never converted, and a task failed on a --shard the user never wrote).
TEST_F(Batch, TheSlurmScriptTakesPlainArraysOnly) {
    const struct {
        int id, count, min, max;
        int status;
        const char* shard;  // passed on, for a plain array
    } rows[] = {
        {0, 4, 0, 3, 0, "--shard 0/4 "},
        {16, 16, 1, 16, 0, "--shard 15/16 "},
        {2, 2, 0, 2, 2, nullptr},  // --array=0-2:2
        {9, 3, 1, 9, 2, nullptr},  // --array=1,5,9
    };
    // A stand-in for the program on the PATH that prints its arguments (the variable that
    // would name another is unset; its quotes keep sh() from reading it as the program).
    fs::create_directories(dir.path() / "bin");
    std::ofstream(dir.path() / "bin/tessival-cli") << "#!/bin/sh\necho \"$@\"\n";
    fs::permissions(dir.path() / "bin/tessival-cli", fs::perms::owner_all);
    for (const auto& r : rows) {
        const std::string env = "PATH=\"$PWD/bin:$PATH\" SLURM_ARRAY_TASK_ID=" + std::to_string(r.id) +
                                " SLURM_ARRAY_TASK_COUNT=" + std::to_string(r.count) +
                                " SLURM_ARRAY_TASK_MIN=" + std::to_string(r.min) +
                                " SLURM_ARRAY_TASK_MAX=" + std::to_string(r.max);
        const ShellRun run =
            sh("env -u TESSIVAL_C''LI " + env + " bash " + quote(SLURM_BATCH_SCRIPT) + " in");
        EXPECT_EQ(run.status, r.status) << env << run.err;
        if (r.shard) {
            EXPECT_EQ(run.out.rfind(r.shard, 0), 0u) << run.out;
        } else {
            EXPECT_NE(run.err.find("plain range"), std::string::npos) << run.err;
        }
    }
}

// A file named as another input's output is an input of the batch too: the job that would
// replace it fails, and the file is converted as it was, whatever the order of the jobs.
TEST_F(Batch, AnOutputNeverReplacesAnInputOfTheBatch) {
    const std::string named = "in/a [44100i16 speed=1.000 gain=1.00 delay=0.00].wav";
    for (const char* jobs : {"1", "2"}) {
        fs::remove_all(dir.path() / "in");
        wav("in/a.wav", 1);
        wav(named, 2);
        const std::string before = read(dir.path() / named);
        const ShellRun r =
            sh(std::string("CLI --json -q -r 44100 -j ") + jobs + " in/a.wav " + quote(named));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(read(dir.path() / named), before) << "the input is left as it was";
        const auto byInput = lines(r.out);
        ASSERT_EQ(byInput.size(), 2u) << r.out;
        EXPECT_EQ(byInput.at("in/a.wav").at("state").text, "failed");
        EXPECT_NE(byInput.at("in/a.wav").at("reason").text.find("an input of this batch"),
                  std::string::npos);
        EXPECT_EQ(byInput.at(named).at("state").text, "done");
        const std::string output = byInput.at(named).at("output").text;
        EXPECT_EQ(read(dir.path() / output), before) << "its own samples, at the same rate";
    }
}

// Inputs with one output name (take.wav beside take.aiff; one inner folder of two walked folders
// mirrored into -o) fall into one task however the list is cut, and that task refuses the
// second, as one run of the whole list does: no two tasks write one name, both "done".
TEST_F(Batch, ShardsKeepInputsOfOneOutputNameTogether) {
    wav("in/take.wav", 1);
    wav("in/b.wav", 2);
    wav("flac/take.wav", 3);
    ASSERT_EQ(
        sh("CLI -q -r 44100 --container flac flac/take.wav && mv flac/*.flac in/take.flac").status,
        0);
    wav("s1/Audio/Kick.wav", 4);
    wav("s1/Audio/a.wav", 5);
    wav("s2/Audio/Kick.wav", 6);
    fs::create_directories(dir.path() / "out");
    for (int count : {2, 3, 4}) {
        for (const std::string args : {"in/take.wav in/b.wav in/take.flac", "-o out s1 s2"}) {
            std::map<std::string, int> states;
            for (int index = 0; index < count; ++index) {
                const ShellRun r =
                    sh("CLI --json -q -r 44100 --if-exists replace --shard " +
                       std::to_string(index) + "/" + std::to_string(count) + " " + args);
                for (const auto& [input, o] : lines(r.out))
                    ++states[o.at("state").text +
                             (o.at("reason").text.find("already taken") == std::string::npos
                                  ? ""
                                  : " taken")];
            }
            SCOPED_TRACE(args + " in " + std::to_string(count));
            EXPECT_EQ(states["failed taken"], 1) << "the second input of one name is refused";
            EXPECT_EQ(states["done"], 2);
        }
        fs::remove_all(dir.path() / "out/Audio");
    }
}

// A batch stopped by Ctrl-C part-way and run again with --if-exists skip: the outputs of the
// first run are kept as they are, the rest are converted, and all equal a run in one go.
TEST_F(Batch, InterruptedBatchResumesWithSkip) {
    const int files = 24;
    for (int i = 0; i < files; ++i) wav("in/" + std::to_string(100 + i) + ".wav", i, 200000);
    fs::create_directories(dir.path() / "ref");
    fs::create_directories(dir.path() / "out");
    const std::string args = " -q -j 1 -r 48000 -t fp64 --if-exists skip --json in";
    ASSERT_EQ(sh("CLI -o ref" + args).status, 0);
    const auto reference = tree("ref");

    pid_t pid = fork();
    if (pid == 0) {
        const std::string cmd = "cd " + quote(dir.path().string()) + " && exec " +
                                quote(TESSIVAL_CLI) + " -o out" + args + " >first.txt 2>first.err";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char*)nullptr);
        _exit(127);
    }
    // Stop it once two outputs exist (running jobs stop at their next block).
    for (;;) {
        int done = 0;
        for (const auto& e : fs::directory_iterator(dir.path() / "out"))
            done += e.path().extension() == ".wav" && e.path().filename().string()[0] != '.';
        if (done >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the first run ended before it was stopped";
    const auto first = lines(read(dir.file("first.txt")));
    EXPECT_EQ(first.size(), std::size_t(files)) << "every file has its line, run or not";

    std::map<std::string, ino_t> kept;  // output -> inode after the first run
    for (const auto& e : fs::directory_iterator(dir.path() / "out")) {
        const std::string name = e.path().filename().string();
        ASSERT_NE(name[0], '.') << "a partial file was left: " << name;
        struct stat st {};
        stat(e.path().c_str(), &st);
        kept[name] = st.st_ino;
    }
    ASSERT_LT(kept.size(), std::size_t(files));

    const ShellRun again = sh("CLI -o out" + args);
    EXPECT_EQ(again.status, 0) << again.err;
    std::size_t skipped = 0;
    for (const auto& [input, o] : lines(again.out)) {
        const std::string leaf = fs::path(o.at("output").text).filename().string();
        const bool wasThere = kept.count(leaf);
        EXPECT_EQ(o.at("state").text, wasThere ? "skipped" : "done") << input;
        skipped += wasThere;
    }
    EXPECT_EQ(skipped, kept.size());
    for (const auto& [name, inode] : kept) {
        struct stat st {};
        stat((dir.path() / "out" / name).c_str(), &st);
        EXPECT_EQ(st.st_ino, inode) << name << " was converted twice";
    }
    EXPECT_EQ(tree("out"), reference);
}

// With -o, each folder argument's tree is rebuilt below the output folder, so leaves of one
// name in different sub-folders do not collide; --flat puts them side by side and refuses the
// second of a name.
TEST_F(Batch, OutputFolderMirrorsTheTree) {
    wav("in/take.wav", 1);
    wav("in/a/take.wav", 2);
    wav("in/b/take.wav", 3);
    wav("in/b/c/take.wav", 4);
    wav("more/take.wav", 5);
    for (const char* out : {"tree", "flat"}) fs::create_directories(dir.path() / out);
    ShellRun r = sh("CLI -q -r 44100 -o tree in more/take.wav");
    ASSERT_EQ(r.status, 1) << r.out << r.err;  // more/take.wav and in/take.wav share a name
    const auto written = tree("tree");
    const std::map<std::string, std::string> expected = {
        {"take" + kSuffix44, "in/take.wav"},
        {"a/take" + kSuffix44, "in/a/take.wav"},
        {"b/take" + kSuffix44, "in/b/take.wav"},
        {"b/c/take" + kSuffix44, "in/b/c/take.wav"}};
    ASSERT_EQ(written.size(), expected.size());
    for (const auto& [out, in] : expected)
        EXPECT_EQ(written.at(out).substr(44), read(dir.path() / in).substr(44)) << out;
    EXPECT_NE(r.out.find("more/take.wav -> -: output name already taken by in/take.wav"),
              std::string::npos)
        << r.out;
    r = sh("CLI -q -r 44100 --flat -o flat in");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tree("flat").size(), 1u);
}

// A WAVE stream through standard input and output gives the file conversion's bits: the whole
// file when the input states its length, the samples under a streaming header when it does not
// (and, into a file, the whole file with a "JUNK" chunk that keeps room for RF64).
// An empty file whose container goes on after its data chunk (tags after no audio) is empty on
// a pipe too: the tags were read as audio.
TEST_F(Batch, ChunksAfterTheAudioOfAPipeAreNamedAsDropped) {
    const IOTest::Bytes tags = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M',
                                4,   0,   0,   0,   'a', 'b', 'c', 0};
    // An empty file's tags are not its audio; a pipe cannot come back for them after the audio.
    for (const std::size_t frames : {0, 3}) {
        SCOPED_TRACE(frames);
        const IOTest::Bytes bytes = IOTest::Group(
            "RIFF", "WAVE",
            {IOTest::Chunk("fmt ", IOTest::FmtPayload(1, 2, 44100, 4, 16)),
             IOTest::Chunk("data", IOTest::Bytes(frames * 4, 1)), IOTest::Chunk("LIST", tags)});
        std::ofstream(dir.path() / "tagged.wav", std::ios::binary)
            << std::string(bytes.begin(), bytes.end());
        const ShellRun r = sh("cat tagged.wav | CLI -q --json -r 0 -o . -");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\"frames_out\":" + std::to_string(frames) + ","), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("24 bytes of chunks after the audio are not read from a pipe"),
                  std::string::npos)
            << r.out;
    }
}

TEST_F(Batch, PipeRoundTripEqualsTheFileConversion) {
    wav("in.wav", 7, 30000);
    const std::string file = read(dir.file("in.wav"));
    auto withSizes = [&](std::uint32_t size) {
        std::string s = file;
        for (std::size_t at : {std::size_t(4), std::size_t(40)})
            for (int i = 0; i < 4; ++i) s[at + i] = char(size >> (8 * i));
        return s;
    };
    std::ofstream(dir.path() / "unknown.wav", std::ios::binary) << withSizes(0xFFFFFFFF);
    std::ofstream(dir.path() / "zero.wav", std::ios::binary) << withSizes(0);
    // The sizes of an empty file, never updated: on a pipe the audio after them is read (it
    // gave an empty output, "done").
    std::string empty = withSizes(0);
    empty[4] = 36;
    std::ofstream(dir.path() / "empty.wav", std::ios::binary) << empty;
    // A writer that cannot seek back and puts the largest size it allows in the header.
    std::ofstream(dir.path() / "placeholder.wav", std::ios::binary) << withSizes(0x7ffff000);
    const struct {
        const char* args;
        const char* output;  // of the file conversion
    } conversions[] = {
        {"-r 48000 -t fp64", "in [48000f64 speed=1.000 gain=1.00 delay=0.00].wav"},
        {"-r 22050 -t fp64 -s 90", "in [22050f64 speed=0.900 gain=1.00 delay=0.00].wav"},
        {"-r 44100 -t int16", "in [44100i16 speed=1.000 gain=1.00 delay=0.00].wav"},
        // The exact length of a stream of unknown length is cut when its end is read.
        {"-r 48000 -t fp64 --exact-length", "in [48000f64 speed=1.000 gain=1.00 delay=0.00].wav"},
        {"-r 22050 -t fp64 -s 90 --exact-length --keep-pre-ring",
         "in [22050f64 speed=0.900 gain=1.00 delay=523.00].wav"},
    };
    for (const auto& c : conversions) {
        SCOPED_TRACE(c.args);
        ASSERT_EQ(sh(std::string("CLI -q ") + c.args + " in.wav").status, 0);
        const std::string expected = read(dir.path() / c.output);
        fs::remove(dir.path() / c.output);
        const std::size_t header = expected[20] == 3 ? 46 : 44;  // IEEE float or PCM "fmt "
        for (const char* source :
             {"in.wav", "unknown.wav", "zero.wav", "empty.wav", "placeholder.wav"}) {
            const ShellRun r = sh(std::string("cat ") + source + " | CLI " + c.args + " - --stdout");
            ASSERT_EQ(r.status, 0) << source << r.err;
            if (std::string(source) == "in.wav") {
                EXPECT_EQ(r.out, expected) << source;
                continue;
            }
            ASSERT_GE(r.out.size(), header);
            EXPECT_EQ(r.out.substr(header), expected.substr(header)) << source;
            // Into a file: the file conversion's bytes with room for RF64 after "WAVE".
            std::string room = expected;
            room.insert(12, std::string("JUNK\x1c\0\0\0", 8) + std::string(28, '\0'));
            const std::uint32_t riff = std::uint32_t(room.size() - 8);
            for (int i = 0; i < 4; ++i) room[4 + i] = char(riff >> (8 * i));
            ASSERT_EQ(sh(std::string("mkdir piped && cat ") + source + " | CLI -q " + c.args +
                         " -o piped -")
                          .status,
                      0);
            EXPECT_EQ(read(dir.path() / "piped" / ("std" + std::string(c.output))), room) << source;
            fs::remove_all(dir.path() / "piped");
            // Streaming sizes, or the true ones where the end was read before the header went
            // out (a short input, a kept pre-ring).
            for (std::size_t at : {std::size_t{4}, header - 4}) {
                const std::string size = r.out.substr(at, 4);
                EXPECT_TRUE(size == std::string(4, '\xff') || size == expected.substr(at, 4))
                    << source << " at " << at;
            }
        }
    }
    EXPECT_TRUE(tree(".").size() == 5) << "no file written besides the inputs";
    // A stream cut short of its stated length fails; so do uses of --stdout that cannot work.
    ShellRun r = sh("head -c 5000 in.wav | CLI -r 48000 -t fp64 - --stdout");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the stream ended after 5000 bytes, before the end of the audio its "
                         "header gives"),
              std::string::npos)
        << r.err;
    for (const char* refused : {"in.wav zero.wav --stdout", "in.wav --stdout --json",
                                "--stdout -o . in.wav", "- - --stdout", "--stdout --container wv in.wav",
                                "--stdout .", "--json --info in.wav",
                                "--stdout --container flac in.wav",
                                "--prevent-clipping --stdout in.wav", "--prevent-clipping -"})
        EXPECT_EQ(sh(std::string("CLI ") + refused + " </dev/null").status, 2) << refused;
    // Nothing to convert: the reader is not handed an empty stream as a success.
    const ShellRun none = sh("mkdir -p none && CLI --stdout none");
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.out.empty());
    fs::remove(dir.path() / "none");
}

// A stop signal ends a run blocked on a stream, whichever end it waits for: "aborted", status 1,
// no file left behind.
TEST_F(Batch, StopSignalEndsAWaitOnAStream) {
    wav("in.wav", 3, 88200);  // 352 kB: more than a pipe holds
    const std::string file = read(dir.file("in.wav"));
    signal(SIGPIPE, SIG_IGN);  // a failed run closes the pipes: write() says so
    const struct {
        std::vector<std::string> args;
        bool feedsStdin;  // else the output stream is a pipe that is not read
        int signal;
    } cases[] = {
        {{"-r", "48000", "-"}, true, SIGINT},
        {{"-r", "48000", "--stdout", "-"}, true, SIGTERM},
        {{"-r", "48000", "--stdout", "in.wav"}, false, SIGHUP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + strsignal(c.signal));
        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        const std::string report = dir.file("report.txt");
        const pid_t pid = start(c.args, in, out, report);
        // Once the pipe took more than it holds, or gave a byte, the job is running.
        char byte;
        if (c.feedsStdin)
            EXPECT_EQ(write(in[1], file.data(), 100000), 100000);
        else
            EXPECT_EQ(::read(out[0], &byte, 1), 1);
        kill(pid, c.signal);
        int status = 0;
        const bool ended = waitEnded(pid, status);
        close(in[1]);
        // The result line: on standard output, or on standard error after a stream there.
        std::string said = read(report);
        char piece[65536];
        for (ssize_t n; (n = ::read(out[0], piece, sizeof piece)) > 0;) said.append(piece, n);
        close(out[0]);
        EXPECT_TRUE(ended) << "still running 10 s after the signal";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_NE(said.find(" -> -: aborted\n"), std::string::npos) << said.substr(0, 300);
        fs::remove(report);
        EXPECT_EQ(tree(".").size(), 1u) << "only the input";
    }
}

// A reader of the JSON lines that stops reading (a stalled consumer) keeps the lines waiting
// to be written: a stop signal still ends the run, and the lines it cannot take are not
// waited for, also lines longer than a pipe takes atomically (deep folders). Lines of runs
// sharing one pipe stay whole.
TEST_F(Batch, StopSignalEndsARunWhoseJsonReaderStopped) {
    std::string deep = "many";
    for (int i = 0; i < 20; ++i) deep += "/" + std::string(110, char('a' + i));
    for (const std::string& folder : {std::string("many"), deep}) {
        SCOPED_TRACE(folder.size());
        for (int i = 0; i < 60; ++i) wav(folder + "/f" + std::to_string(100 + i) + ".wav", i);
        fs::remove_all(dir.path() / "outs");
        fs::create_directories(dir.path() / "outs");
        stopWhileTheReaderWaits();
        fs::remove_all(dir.path() / "many");
    }
}

// Two runs writing JSON lines into one pipe: every line stays whole, lines longer than a pipe
// takes atomically (deep folders) included (written in pieces, they were cut by the other
// run's lines).
TEST_F(Batch, JsonLinesOfRunsSharingAPipeStayWhole) {
    std::string deep = "a";
    for (int i = 0; i < 20; ++i) deep += "/" + std::string(110, char('a' + i));
    for (int i = 0; i < 16; ++i) {
        wav(deep + "/f" + std::to_string(i) + ".wav", i);
        wav("b/f" + std::to_string(i) + ".wav", i);
    }
    const ShellRun r =
        sh("{ CLI -j 1 --json -r 48000 a & CLI -j 1 --json -r 48000 b; wait; } | cat");
    std::istringstream lines(r.out);
    int whole = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with("{\"input\":") && line.ends_with("}")) << line.substr(0, 80);
        whole += line.starts_with("{\"input\":") && line.ends_with("}");
    }
    EXPECT_EQ(whole, 32) << r.err;
}

void Batch::stopWhileTheReaderWaits() {
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_GT(fcntl(out[1], F_SETPIPE_SZ, 16384), 0);  // a few lines fill it
    const std::string report = dir.file("report.txt");
    const pid_t pid =
        start({"-j", "1", "--json", "-r", "48000", "-o", "outs", "many"}, in, out, report);
    close(in[1]);
    // The pipe is full once it stops filling.
    int held = -1, now = 0;
    for (int i = 0; i < 100 && (now == 0 || now != held); ++i) {
        held = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(ioctl(out[0], FIONREAD, &now), 0);
    }
    ASSERT_GT(now, 0) << read(report);
    kill(pid, SIGTERM);
    int status = 0;
    const bool ended = waitEnded(pid, status);
    close(out[0]);
    EXPECT_TRUE(ended) << "still running 10 s after the signal";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(read(report).find("cannot write the JSON lines to standard output"),
              std::string::npos)
        << read(report);
}

// --info of standard input tells what --info of the file does; the frames of a stream of
// unknown length are counted as it is read.
TEST_F(Batch, InfoOfStandardInput) {
    wav("in.wav", 5, 1000);
    std::string unknown = read(dir.file("in.wav"));
    for (std::size_t at : {std::size_t(4), std::size_t(40)}) unknown.replace(at, 4, 4, '\xff');
    std::ofstream(dir.path() / "unknown.wav", std::ios::binary) << unknown;
    const ShellRun file = sh("CLI --info in.wav");
    ASSERT_EQ(file.status, 0) << file.err;
    ASSERT_NE(file.out.find("  frame-count: 1000\n"), std::string::npos) << file.out;
    for (const char* source : {"in.wav", "unknown.wav"}) {
        const ShellRun r = sh(std::string("cat ") + source + " | CLI --info -");
        EXPECT_EQ(r.status, 0) << source << r.err;
        EXPECT_EQ(r.out.substr(0, 2), "-\n") << source;
        EXPECT_EQ(r.out.substr(r.out.find('\n')), file.out.substr(file.out.find('\n'))) << source;
    }
}
