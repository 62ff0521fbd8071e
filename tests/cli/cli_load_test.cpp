// Load through the real tessival-cli: many short files queued at once on two
// workers and interrupted part-way; long inputs converted with flat memory.
// The counts and lengths grow with TESSIVAL_LOAD_FILES and
// TESSIVAL_LOAD_MINUTES (scripts/soak sets them); the defaults keep the run
// to seconds.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : fallback;
}

void put16(std::ofstream& f, std::uint16_t v) {
    f.put(char(v & 0xFF)), f.put(char(v >> 8));
}
void put32(std::ofstream& f, std::uint32_t v) {
    put16(f, v & 0xFFFF), put16(f, v >> 16);
}

// A WAVE header for `frames` frames (RF64 is not needed below 4 GiB); the
// samples are a sparse run of zeros, or a ramp when `ramp` is set.
void writeWav(const fs::path& p, std::uint32_t rate, std::uint16_t channels, std::uint16_t format,
              std::uint16_t bits, std::uint64_t frames, bool ramp) {
    const std::uint32_t block = channels * bits / 8;
    const std::uint64_t data = frames * block;
    {
        std::ofstream f(p, std::ios::binary);
        f.write("RIFF", 4), put32(f, std::uint32_t(36 + data)), f.write("WAVEfmt ", 8),
            put32(f, 16);
        put16(f, format), put16(f, channels), put32(f, rate), put32(f, rate * block),
            put16(f, std::uint16_t(block));
        put16(f, bits), f.write("data", 4), put32(f, std::uint32_t(data));
        if (ramp)
            for (std::uint64_t i = 0; i < data / 2; ++i) put16(f, std::uint16_t((i * 37) & 0x3FFF));
    }
    fs::resize_file(p, 44 + data);
}

struct Child {
    pid_t pid = -1;
    fs::path out;
};

Child startCli(const std::string& args, const fs::path& out) {
    Child c{-1, out};
    c.pid = fork();
    if (c.pid == 0) {
        const std::string cmd =
            "exec " + std::string(TESSIVAL_CLI) + " " + args + " >" + out.string() + " 2>&1";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return c;
}

// Waits for the child; returns its exit status and peak resident memory in KiB.
std::pair<int, long> finish(const Child& c) {
    int status = 0;
    struct rusage usage {};
    wait4(c.pid, &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

std::string readAll(const fs::path& p) {
    std::ifstream f(p);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::uint32_t get32(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}

// A complete RIFF-WAVE file: its sizes agree with its length and its data
// chunk holds whole frames.
bool completeWave(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::string head(4096, '\0');
    f.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(f.gcount()));
    const std::uintmax_t size = fs::file_size(p);
    if (head.size() < 44 || head.compare(0, 4, "RIFF") != 0 || head.compare(8, 4, "WAVE") != 0)
        return false;
    if (get32(head, 4) + 8ull != size) return false;
    const std::size_t fmt = head.find("fmt ");
    const std::size_t data = head.find("data");
    if (fmt == std::string::npos || data == std::string::npos) return false;
    const std::uint32_t align = std::uint8_t(head[fmt + 20]) | std::uint8_t(head[fmt + 21]) << 8;
    const std::uint32_t bytes = get32(head, data + 4);
    return align != 0 && bytes % align == 0 && data + 8 + bytes == size;
}

class Load : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tessival_load_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

}  // namespace

// Many files on two workers, interrupted once a few are done: every file
// ends "done" or "aborted"; only the done ones have an output, and
// each is complete; the tool exits within two seconds of the signal.
// The queue is taken in name order: the first three files are short, the
// rest an hour of (sparse) silence each, so that the signal lands mid-queue
// however fast the machine is.
TEST_F(Load, InterruptedQueueEndsEveryFileCleanly) {
    const int files = std::max(envInt("TESSIVAL_LOAD_FILES", 40), 8);
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.wav", i);
        if (i < 3)
            writeWav(dir / "in" / name, 44100, 2, 1, 16, 44100 * 2, true);
        else
            writeWav(dir / "in" / name, 44100, 2, 1, 16, 44100ull * 3600, false);
    }
    Child c = startCli(
        "-q -j 2 -r 96000 -t int16 -o " + (dir / "out").string() + " " + (dir / "in").string(),
        dir / "log.txt");
    // Interrupt once a few outputs are complete (or after ten seconds).
    const auto start = Clock::now();
    auto doneSoFar = [&] {
        int n = 0;
        for (const auto& e : fs::directory_iterator(dir / "out"))
            n += e.path().extension() == ".wav" && completeWave(e.path());  // not the ".part" files
        return n;
    };
    while (doneSoFar() < 3 && Clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto signalled = Clock::now();
    kill(c.pid, SIGINT);
    const auto [status, rss] = finish(c);
    const double secs = std::chrono::duration<double>(Clock::now() - signalled).count();
    EXPECT_LT(secs, 2.0);
    EXPECT_EQ(status, 1);  // not every file was converted

    std::map<std::string, int> states;
    std::map<std::string, std::string> outputOf;
    std::istringstream lines(readAll(dir / "log.txt"));
    std::string line, summary;
    while (std::getline(lines, line)) {
        if (line.starts_with("tessival-cli: ")) {
            summary = line;  // the count of files not converted, on standard error
            continue;
        }
        const std::size_t arrow = line.find(" -> "), colon = line.rfind(": ");
        ASSERT_NE(arrow, std::string::npos) << line;
        ASSERT_NE(colon, std::string::npos) << line;
        const std::string state = line.substr(colon + 2);
        // Files the stop kept from starting are "aborted" too, as in their JSON lines.
        EXPECT_TRUE(state == "done" || state == "aborted") << line;
        ++states[state];
        const std::string out = line.substr(arrow + 4, colon - arrow - 4);
        EXPECT_EQ(out != "-", state == "done") << line;
        if (state == "done") {
            EXPECT_TRUE(fs::exists(out)) << line;
            EXPECT_TRUE(completeWave(out)) << line;
            outputOf[out] = line;
        }
    }
    EXPECT_EQ(states["done"] + states["aborted"], files);
    EXPECT_EQ(summary, "tessival-cli: " + std::to_string(files - states["done"]) + " of " +
                           std::to_string(files) + " files not converted (see their results)");
    EXPECT_GE(states["done"], 3);
    // No file in the output folder that is not a reported, complete output.
    for (const auto& e : fs::directory_iterator(dir / "out"))
        EXPECT_EQ(outputOf.count(e.path().string()), 1u) << e.path();
    std::printf("[ load     ] %d files: %d done, %d aborted; exit %.3f s after SIGINT\n", files,
                states["done"], states["aborted"], secs);
}

// Peak memory does not grow with the input's length: a long mono 8000 Hz
// input against one a tenth as long, and a 768000 Hz stereo fp64 input.
TEST_F(Load, LongInputsConvertWithFlatMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' quarantine grows with the work done";
#endif
    const int minutes = envInt("TESSIVAL_LOAD_MINUTES", 10);
    writeWav(dir / "in" / "short.wav", 8000, 1, 1, 16, 8000ull * 60 * minutes / 10, false);
    writeWav(dir / "in" / "long.wav", 8000, 1, 1, 16, 8000ull * 60 * minutes, false);
    auto peak = [&](const std::string& name, const std::string& args) {
        Child c = startCli(
            "-q " + args + " -o " + (dir / "out").string() + " " + (dir / "in" / name).string(),
            dir / "log.txt");
        const auto [status, rss] = finish(c);
        EXPECT_EQ(status, 0) << readAll(dir / "log.txt");
        for (const auto& e : fs::directory_iterator(dir / "out")) fs::remove(e.path());
        return rss;
    };
    const long shortPeak = peak("short.wav", "-r 48000 -t int24");
    const long longPeak = peak("long.wav", "-r 48000 -t int24");
    std::printf("[ load     ] 8000 Hz mono: %d min %ld KiB, %.1f min %ld KiB peak\n", minutes,
                longPeak, minutes / 10.0, shortPeak);
    EXPECT_LT(longPeak, shortPeak + 16 * 1024);

    const int seconds = envInt("TESSIVAL_LOAD_HIRES_SECONDS", 5);
    writeWav(dir / "in" / "hires.wav", 768000, 2, 3, 64, 768000ull * seconds, false);
    writeWav(dir / "in" / "hires_short.wav", 768000, 2, 3, 64, 768000ull * seconds / 10, false);
    const long hiresShort = peak("hires_short.wav", "-r 44100 -t int24");
    const long hires = peak("hires.wav", "-r 44100 -t int24");
    std::printf("[ load     ] 768000 Hz stereo fp64: %d s %ld KiB, %.1f s %ld KiB peak\n", seconds,
                hires, seconds / 10.0, hiresShort);
    EXPECT_LT(hires, hiresShort + 16 * 1024);
}
