// End to end through the real tessival-cli executable on files written here.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "dsp/fft/Isa.h"
#include "support/MetadataFiles.h"
#include "support/WavFiles.h"

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// `env`: assignments put before the command (VAR=value ...), or empty.
CliRun runCli(const std::string& args, const std::string& env = "") {
    static int n = 0;
    fs::path o = fs::temp_directory_path() / ("tessival_cli_out_" + std::to_string(getpid()) + "_" + std::to_string(n));
    fs::path e = fs::temp_directory_path() / ("tessival_cli_err_" + std::to_string(getpid()) + "_" + std::to_string(n++));
    std::string cmd = (env.empty() ? "" : env + " ") + std::string(TESSIVAL_CLI) + " " + args +
                      " >" + o.string() + " 2>" + e.string();
    CliRun r;
    int s = std::system(cmd.c_str());
    r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    std::ifstream fo(o), fe(e);
    r.out.assign(std::istreambuf_iterator<char>(fo), {});
    r.err.assign(std::istreambuf_iterator<char>(fe), {});
    fs::remove(o);
    fs::remove(e);
    return r;
}

using TestSupport::writeWav16;
using TestSupport::writeWavF64;
using TestSupport::put16;
using TestSupport::put32;

struct Wav {
    std::uint16_t tag = 0, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    std::vector<std::uint8_t> data;
    std::size_t frameBytes() const { return channels * (bits / 8); }
    std::size_t frames() const { return data.size() / frameBytes(); }
};

Wav readWav(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(f)), {});
    Wav w;
    auto u16 = [&](std::size_t at) { return std::uint16_t(b[at] | b[at + 1] << 8); };
    auto u32 = [&](std::size_t at) { return std::uint32_t(u16(at) | u16(at + 2) << 16); };
    for (std::size_t at = 12; at + 8 <= b.size();) {
        std::string id(b.begin() + at, b.begin() + at + 4);
        std::uint32_t size = u32(at + 4);
        if (id == "fmt ") {
            w.tag = u16(at + 8), w.channels = u16(at + 10), w.rate = u32(at + 12), w.bits = u16(at + 22);
        } else if (id == "data") {
            w.data.assign(b.begin() + at + 8, b.begin() + at + 8 + size);
            break;
        }
        at += 8 + size + (size & 1);
    }
    return w;
}

double sample(const Wav& w, std::size_t frame, int channel) {
    const std::uint8_t* p = &w.data[frame * w.frameBytes() + channel * (w.bits / 8)];
    if (w.tag == 3 || (w.bits == 64)) {
        double d;
        std::memcpy(&d, p, 8);
        return d;
    }
    if (w.bits == 16) return std::int16_t(p[0] | p[1] << 8) / 32768.0;
    if (w.bits == 24) return (std::int32_t(std::uint32_t(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8) / 8388608.0;
    return 0;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tessival_cli_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    std::vector<fs::path> outputs() const {
        std::vector<fs::path> r;
        for (auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().find(" [") != std::string::npos) r.push_back(e.path());
        return r;
    }
    fs::path dir;
};

std::int16_t tone(std::uint32_t i, double f, double rate, double amp = 0.5) {
    return std::int16_t(std::lround(amp * 32767 * std::sin(2 * M_PI * f * i / rate)));
}

}  // namespace

TEST_F(Cli, ConvertsAndNamesTheOutput) {
    fs::path in = dir / "take.wav";
    writeWav16(in, 44100, 2, 44100, [](int c, std::uint32_t i) { return tone(i, c ? 1000 : 440, 44100); });
    CliRun r = runCli("-q -r 48000 -t int24 " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto outs = outputs();
    ASSERT_EQ(outs.size(), 1u);
    std::string name = outs[0].filename().string();
    EXPECT_EQ(name.rfind("take [48000i24 speed=1.000 gain=1.00 delay=", 0), 0u) << name;
    EXPECT_NE(r.out.find(outs[0].string()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": done"), std::string::npos);
    Wav w = readWav(outs[0]);
    EXPECT_EQ(w.rate, 48000u);
    EXPECT_EQ(w.bits, 24);
    EXPECT_EQ(w.channels, 2);
    // One second in; the pre-ring is cropped and the post-ring kept.
    EXPECT_GE(w.frames(), 48000u);
    EXPECT_LT(w.frames(), 48000u + 2000u);
    // The delay in the name is what remains after the crop: under half a frame.
    double delay = std::stod(name.substr(name.find("delay=") + 6));
    EXPECT_LE(std::fabs(delay), 0.5);
}

TEST_F(Cli, SameRatePassesSamplesThrough) {
    fs::path in = dir / "a.wav";
    writeWav16(in, 44100, 1, 5000, [](int, std::uint32_t i) { return std::int16_t(i * 13); });
    CliRun r = runCli("-q -r 44100 -t int16 " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(outputs().size(), 1u);
    EXPECT_EQ(outputs()[0].filename().string(), "a [44100i16 speed=1.000 gain=1.00 delay=0.00].wav");
    Wav a = readWav(in), b = readWav(outputs()[0]);
    EXPECT_EQ(a.data, b.data);
}

// An input without samples converts to an output without samples, at every
// kind of rate change (the filters' cropped pre-ring is longer than nothing).
TEST_F(Cli, EmptyInputGivesAnEmptyOutput) {
    fs::path in = dir / "e.wav";
    writeWav16(in, 44100, 2, 0, [](int, std::uint32_t) { return std::int16_t(0); });
    for (const char* rate : {"48000", "88200", "96000", "44100"}) {
        CliRun r = runCli(std::string("-q -t int24 -r ") + rate + " " + shellQuote(in.string()));
        ASSERT_EQ(r.status, 0) << rate << r.out << r.err;
        auto outs = outputs();
        ASSERT_EQ(outs.size(), 1u) << rate;
        Wav w = readWav(outs[0]);
        EXPECT_EQ(w.rate, std::uint32_t(std::stoul(rate)));
        EXPECT_EQ(w.frames(), 0u) << rate;
        fs::remove(outs[0]);
    }
}

// A folder named "." is walked like any other; one without audio files says so.
TEST_F(Cli, DotFolderIsWalkedAndAnEmptyFolderIsReported) {
    writeWav16(dir / "a.wav", 44100, 1, 1000, [](int, std::uint32_t i) { return std::int16_t(i); });
    fs::create_directories(dir / "none");
    const std::string cd = "cd " + shellQuote(dir.string()) + " && ";
    const std::string cli = std::string(TESSIVAL_CLI) + " -q -r 44100 ";
    int s = std::system((cd + cli + ". >/dev/null 2>&1").c_str());
    EXPECT_EQ(WEXITSTATUS(s), 0);
    EXPECT_EQ(outputs().size(), 1u);
    CliRun r = runCli("-q " + shellQuote((dir / "none").string()));
    EXPECT_NE(r.err.find("no audio files"), std::string::npos) << r.err;
}

// The file named is the file converted, whatever bytes its name holds: named, found by a walk,
// and as the output folder. Decoys stand where a trimmed or split name would point.
TEST_F(Cli, NamesAreTakenByteForByte) {
    const std::vector<std::string> names = {" lead.wav", "back\\slash.wav", "c:\\x.wav",
                                            "[1] x.wav", "\xff\xfe.wav"};
    const std::string suffix = " [44100i16 speed=1.000 gain=1.00 delay=0.00].wav";
    for (const char* folder : {"out", " out", "in "}) fs::create_directories(dir / folder);
    writeWav16(dir / "lead.wav", 44100, 1, 10, [](int, std::uint32_t) { return std::int16_t(0); });
    std::string args;
    for (std::size_t n = 0; n < names.size(); ++n) {
        const auto gen = [n](int, std::uint32_t i) { return std::int16_t(n * 1000 + i); };
        writeWav16(dir / names[n], 44100, 1, 100 + n, gen);
        writeWav16(dir / "in " / names[n], 44100, 1, 100 + n, gen);
        args += " " + shellQuote((dir / names[n]).string());
    }
    CliRun r = runCli("-q -r 44100 -t int16 -o " + shellQuote((dir / " out").string()) + args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    r = runCli("-q -r 44100 -t int16 " + shellQuote((dir / "in ").string()));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const std::string& name : names) {
        const std::string stem = name.substr(0, name.size() - 4);
        for (const fs::path& folder : {dir / " out", dir / "in "}) {
            const fs::path out = folder / (stem + suffix);
            ASSERT_TRUE(fs::exists(out)) << out;
            EXPECT_EQ(readWav(out).data, readWav(dir / name).data) << out;
        }
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// A folder walk stays inside the folder named (a link to ".." is not entered), and a second
// run over it converts the inputs again but not the first run's outputs.
TEST_F(Cli, RerunConvertsOnlyTheInputsInsideTheFolder) {
    const auto gen = [](int, std::uint32_t i) { return std::int16_t(i); };
    fs::create_directories(dir / "in");
    writeWav16(dir / "in" / "a.wav", 44100, 1, 100, gen);
    writeWav16(dir / "outside.wav", 44100, 1, 100, gen);
    fs::create_directory_symlink("..", dir / "in" / "up");
    const std::string args = "-q -r 48000 " + shellQuote((dir / "in").string());
    for (const char* skipped : {"", "in: skipped 1 file that is an output of an earlier run\n"}) {
        CliRun r = runCli(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_TRUE(r.err.ends_with(skipped)) << r.err;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "in"), fs::directory_iterator()), 3);
        EXPECT_TRUE(outputs().empty());
    }
}

// --container flac writes a FLAC file whose --info digest is the input's; a
// float type for it is refused before anything is written.
TEST_F(Cli, FlacContainer) {
    fs::create_directories(dir / "out");
    writeWav16(dir / "f.wav", 44100, 2, 5000, [](int c, std::uint32_t i) {
        return std::int16_t((c + 1) * 7 * i);
    });
    const std::string out = " -o " + shellQuote((dir / "out").string()) + " ";
    const std::string in = shellQuote((dir / "f.wav").string());
    // What a container cannot hold is refused before any work.
    for (const auto& [args, says] :
         {std::pair{"--container flac -t fp32", "FLAC stores integer samples only"},
          {"--container flac -r 1536000", "FLAC stores rates up to 1048575 Hz"},
          {"--container wv -t fp64", "WavPack stores floats of 32 bits only"}}) {
        CliRun r = runCli(std::string("-q ") + args + out + in);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_empty(dir / "out"));
    }
    writeWav16(dir / "ten.wav", 44100, 10, 100,
               [](int c, std::uint32_t i) { return std::int16_t(c * 100 + i); });
    CliRun r = runCli("-q --container flac" + out + shellQuote((dir / "ten.wav").string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FLAC holds at most 8 channels, not 10"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    // The input's rate, taken over, is known only once the file is open (it said "bad write
    // format").
    writeWav16(dir / "fast.wav", 1536000, 1, 100,
               [](int, std::uint32_t i) { return std::int16_t(i); });
    r = runCli("-q -r 0 --container flac" + out + shellQuote((dir / "fast.wav").string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FLAC stores rates up to 1048575 Hz: choose another container for "
                         "1536000 Hz"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::is_empty(dir / "out"));

    r = runCli("-q --container flac -r 44100 -t int16" + out + in);
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path flac = fs::directory_iterator(dir / "out")->path();
    EXPECT_EQ(flac.extension(), ".flac");
    const std::string digests = runCli("--info " + in + " " + shellQuote(flac.string())).out;
    const auto first = digests.find("  md5: "), second = digests.find("  md5: ", first + 1);
    ASSERT_NE(second, std::string::npos) << digests;
    EXPECT_EQ(digests.substr(first, 39), digests.substr(second, 39));
    EXPECT_NE(digests.find("  mime-type: audio/flac\n"), std::string::npos) << digests;
}

// Inputs are files, not spellings, and the outcome does not depend on the order of the
// arguments: a file named twice converts once under its plain name, and of two inputs with one
// output file the first by path writes it while the other fails saying so.
TEST_F(Cli, InputsAreFilesWhateverTheirOrder) {
    const auto ramp = [](std::uint32_t step) {
        return [step](int, std::uint32_t i) { return std::int16_t(i * step); };
    };
    for (const char* sub : {"a", "b", "out"}) fs::create_directories(dir / sub);
    writeWav16(dir / "x.wav", 44100, 1, 100, ramp(1));
    writeWav16(dir / "a" / "take.wav", 44100, 1, 100, ramp(2));
    writeWav16(dir / "b" / "take.wav", 44100, 1, 100, ramp(3));
    writeWav16(dir / "y.wav", 44100, 1, 100, ramp(4));
    const std::string wv = "-q -r 44100 --container wv -o " + shellQuote((dir / "out").string());
    ASSERT_EQ(runCli(wv + " " + shellQuote((dir / "y.wav").string())).status, 0);
    fs::rename(fs::directory_iterator(dir / "out")->path(), dir / "x.wv");
    fs::create_symlink("x.wav", dir / "link.wav");
    const std::string suffix = " [44100i16 speed=1.000 gain=1.00 delay=0.00].wav";
    struct Case {
        std::vector<std::string> names;
        bool intoOut;         // -o out
        std::string written;  // the input whose output is written
        std::string refused;  // the input refused, or none
    };
    const Case cases[] = {
        {{"x.wav", "./x.wv"}, false, "x.wav", "./x.wv"},
        {{"b/take.wav", "a/take.wav"}, true, "a/take.wav", "b/take.wav"},
        {{"link.wav", "./x.wav", "x.wav"}, false, "x.wav", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names[0] + " " + c.names[1]);
        const fs::path folder = c.intoOut ? dir / "out" : dir;
        std::string forward = c.intoOut ? " -o " + shellQuote(folder.string()) : "";
        std::string backward = forward;
        for (std::size_t i = 0; i < c.names.size(); ++i) {
            forward += " " + shellQuote((dir / c.names[i]).string());
            backward += " " + shellQuote((dir / c.names[c.names.size() - 1 - i]).string());
        }
        const std::string refusal = (dir / c.refused).string() +
                                    " -> -: output name already taken by " +
                                    (dir / c.written).string() + "\n";
        std::string firstOut;
        for (const std::string& args : {forward, backward}) {
            CliRun r = runCli("-q -r 44100 -t int16" + args);
            EXPECT_EQ(r.status, c.refused.empty() ? 0 : 1) << r.out << r.err;
            if (firstOut.empty()) firstOut = r.out;
            EXPECT_EQ(r.out, firstOut);
            EXPECT_EQ(r.out.find(refusal) != std::string::npos, !c.refused.empty()) << r.out;
            std::vector<fs::path> written;
            for (const auto& e : fs::directory_iterator(folder))
                if (e.path().filename().string().find(" [") != std::string::npos)
                    written.push_back(e.path());
            ASSERT_EQ(written.size(), 1u) << r.out;
            EXPECT_EQ(written[0].filename(), fs::path(c.written).stem().string() + suffix);
            EXPECT_EQ(readWav(written[0]).data, readWav(dir / c.written).data);
            fs::remove(written[0]);
        }
    }
}

TEST_F(Cli, GainAndSpeedShowInTheName) {
    fs::path in = dir / "b.wav";
    writeWav16(in, 44100, 1, 20000, [](int, std::uint32_t i) { return tone(i, 300, 44100, 0.1); });
    CliRun r = runCli("-q -r 44100 -t int16 -g 6 -s 50 " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(outputs().size(), 1u);
    std::string name = outputs()[0].filename().string();
    EXPECT_NE(name.find("[44100i16 speed=0.500 gain=2.00 delay="), std::string::npos) << name;
    Wav w = readWav(outputs()[0]);
    // half speed: twice as many frames
    EXPECT_NEAR(double(w.frames()), 40000.0, 1500.0);
}

TEST_F(Cli, RoundTripKeepsThePassband) {
    fs::path in = dir / "t.wav";
    const double f = 997;
    writeWavF64(in, 44100, 3 * 44100, [&](std::uint32_t i) { return 0.5 * std::sin(2 * M_PI * f * i / 44100); });
    CliRun r = runCli("-q -r 48000 -t fp64 " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    fs::path mid = outputs()[0];
    fs::path mid2 = dir / "mid.wav";
    fs::rename(mid, mid2);
    r = runCli("-q -r 44100 -t fp64 " + shellQuote(mid2.string()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    Wav a = readWav(in), b;
    for (auto& p : outputs())
        if (p.filename().string().rfind("mid [", 0) == 0) b = readWav(p);
    ASSERT_GT(b.frames(), a.frames() - 10);
    // Compare the middle second sample by sample, after the delay left in
    // the two names (each under half a frame) is fitted away by a
    // least-squares fit of the tone.
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    const std::size_t from = 44100, to = 2 * 44100;
    for (std::size_t i = from; i < to; ++i) {
        double s = std::sin(2 * M_PI * f * i / 44100), c = std::cos(2 * M_PI * f * i / 44100), y = sample(b, i, 0);
        ss += s * s, sc += s * c, cc += c * c, ys += y * s, yc += y * c;
    }
    double det = ss * cc - sc * sc, A = (ys * cc - yc * sc) / det, B = (yc * ss - ys * sc) / det;
    double err = 0, ref = 0;
    for (std::size_t i = from; i < to; ++i) {
        double fit = A * std::sin(2 * M_PI * f * i / 44100) + B * std::cos(2 * M_PI * f * i / 44100);
        double x = sample(a, i, 0);
        err += (sample(b, i, 0) - fit) * (sample(b, i, 0) - fit);
        ref += x * x;
    }
    EXPECT_LT(10 * std::log10(err / ref), -120.0);
    EXPECT_NEAR(20 * std::log10(std::hypot(A, B) / 0.5), 0.0, 0.001);
}

// TESSIVAL_ISA picks the kernels' instruction set. Every value converts: one
// that cannot be honoured warns once and runs the best set the CPU has (at
// or below the one named). Runs on the same set give the same bits; the sets
// agree up to rounding.
TEST_F(Cli, InstructionSetFromTheEnvironment) {
    fs::path in = dir / "isa.wav";
    writeWav16(in, 44100, 2, 20000,
               [](int c, std::uint32_t i) { return tone(i, c ? 1000 : 440, 44100); });
    const DSP::Isa best = DSP::bestIsa();
    struct Row {
        std::string value;
        DSP::Isa used;
        bool warns;
    };
    std::vector<Row> rows;
    for (DSP::Isa isa : DSP::kAllIsas)
        rows.push_back({DSP::isaName(isa), std::min(isa, best), isa > best});
    rows.push_back({"", best, false});
    rows.push_back({"sse9", best, true});
    // A run that filters nothing says so as well (the first filter said it).
    const CliRun copy = runCli("-q -r 0 " + shellQuote(in.string()), "TESSIVAL_ISA=sse9");
    EXPECT_NE(copy.err.find("TESSIVAL_ISA=sse9"), std::string::npos) << copy.err;
    for (const fs::path& o : outputs()) fs::remove(o);
    std::map<DSP::Isa, Wav> outputOf;
    for (const Row& row : rows) {
        SCOPED_TRACE("TESSIVAL_ISA=" + row.value);
        CliRun r = runCli("-q -r 48000 -t fp64 " + shellQuote(in.string()),
                          "TESSIVAL_ISA=" + shellQuote(row.value));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::size_t warning = r.err.find("TESSIVAL_ISA=");
        EXPECT_EQ(row.warns, warning != std::string::npos) << r.err;
        if (row.warns) {
            EXPECT_EQ(r.err.find("TESSIVAL_ISA=", warning + 1), std::string::npos) << r.err;
        }
        ASSERT_EQ(outputs().size(), 1u);
        const Wav w = readWav(outputs()[0]);
        fs::remove(outputs()[0]);
        const auto [known, first] = outputOf.emplace(row.used, w);
        if (!first) {
            EXPECT_EQ(known->second.data, w.data);
        }
    }
    const Wav& portable = outputOf.at(DSP::Isa::Portable);
    // The portable loops round differently (no fused multiply-adds): a
    // different output shows that the set named is the one that ran.
    if (best != DSP::Isa::Portable) {
        EXPECT_NE(outputOf.at(best).data, portable.data);
    }
    for (const auto& [isa, w] : outputOf) {
        ASSERT_EQ(w.data.size(), portable.data.size()) << DSP::isaName(isa);
        double worst = 0;
        for (std::size_t i = 0; i < w.frames(); ++i)
            for (int c = 0; c < 2; ++c)
                worst = std::max(worst, std::fabs(sample(w, i, c) - sample(portable, i, c)));
        EXPECT_LT(worst, 1e-12) << DSP::isaName(isa);
    }
}

TEST_F(Cli, UnreadableInputLeavesNoFileAndSaysWhy) {
    fs::path in = dir / "bad.wav";
    std::ofstream(in) << "this is not a wave file at all";
    CliRun r = runCli("-q " + shellQuote(in.string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("???: "), std::string::npos) << r.out;
    EXPECT_TRUE(outputs().empty());
    // The desktop program shows the same text for the same file.
    std::ofstream(in, std::ios::binary).write("RIFF\x04\x00\x00\x00WAVE", 12);
    r = runCli("-q " + shellQuote(in.string()));
    EXPECT_NE(r.out.find(": ???: Malformed RIFF-WAVE file\n"), std::string::npos) << r.out;
}

TEST_F(Cli, ReadOnlyFolderReportsCreationFailure) {
    fs::path in = dir / "c.wav";
    writeWav16(in, 44100, 1, 1000, [](int, std::uint32_t i) { return std::int16_t(i); });
    std::string where;
    if (geteuid() == 0) {
        // root writes into any folder whatever its mode: /proc refuses new files to everyone
        where = "-o /proc ";
    } else {
        fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    CliRun r = runCli("-q -r 48000 " + where + shellQuote(in.string()));
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(r.status, 1);
    // The State text, then the output, its folder and the system's reason (not the name of
    // the temporary file the output is written under).
    const std::string why = geteuid() == 0 ? "No such file or directory" : "Permission denied";
    EXPECT_NE(r.out.find(": file creation failed: cannot create "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" in the folder "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("].wav in the folder"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": " + why), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(".part"), std::string::npos) << r.out;
    EXPECT_TRUE(outputs().empty());
}

TEST_F(Cli, InterruptAbortsAndDeletesPartialOutputs) {
    // Two gigabytes of silence in a sparse file: long enough to be stopped.
    fs::path in = dir / "long.wav";
    const std::uint32_t data = 0x7FFFFFF0u;
    {
        std::ofstream f(in, std::ios::binary);
        f.write("RIFF", 4), put32(f, 36 + data), f.write("WAVEfmt ", 8), put32(f, 16);
        put16(f, 1), put16(f, 2), put32(f, 96000), put32(f, 96000 * 4);
        put16(f, 4), put16(f, 16), f.write("data", 4), put32(f, data);
    }
    fs::resize_file(in, 44 + std::uintmax_t{data});
    std::string cmd = std::string(TESSIVAL_CLI) + " -q -j 1 -r 44100 -t int24 " + shellQuote(in.string()) + " " +
                      shellQuote(in.string()) + " >" + (dir / "out.txt").string() + " 2>&1";
    // Ctrl-C, a kill, and the terminal closing all clean up alike.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), (char*)nullptr);
            _exit(127);
        }
        // Stopped once it writes (its stop handler is in place then; a fixed wait was too short
        // for a slow build under load).
        auto writing = [&] {
            for (const auto& e : fs::directory_iterator(dir))
                if (e.path().filename() != "long.wav" && e.path().filename() != "out.txt")
                    return true;
            return false;
        };
        for (int i = 0; i < 2000 && !writing(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto t0 = std::chrono::steady_clock::now();
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_LT(secs, 5.0);
        std::ifstream f(dir / "out.txt");
        std::string out((std::istreambuf_iterator<char>(f)), {});
        EXPECT_NE(out.find(": aborted"), std::string::npos) << out;
        fs::remove(dir / "out.txt");
        EXPECT_TRUE(outputs().empty());
    }
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(runCli("--bogus x.wav").status, 2);
    CliRun r = runCli("-r abc x.wav");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--rate"), std::string::npos) << r.err;
    // A mistyped long option with a value is unknown, not "takes no value".
    r = runCli("--gai=3 x.wav");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option '--gai'"), std::string::npos) << r.err;
    // A second list replaced the first: its files were left out, status 0.
    r = runCli("--files-from a.txt --files-from b.txt");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--files-from is given twice"), std::string::npos) << r.err;
    EXPECT_EQ(runCli("--make-demo d.wav x.wav").status, 2);
    EXPECT_EQ(runCli("-t int12 x.wav").status, 2);
    EXPECT_EQ(runCli("").status, 2);
    EXPECT_EQ(runCli("--help").status, 0);
}

// Every numeric option is read by one parser: what it does not read
// completely is refused, never taken as another number or as the default.
TEST_F(Cli, NumbersAreReadCompletelyOrRefused) {
    fs::path in = dir / "n.wav";
    writeWav16(in, 44100, 1, 100, [](int, std::uint32_t i) { return std::int16_t(i); });
    for (const char* bad : {"--snr 1e2", "--snr 0x64", "--snr 100.5", "-r 0x10", "-g 0x10", "-s 0x10",
                            "-r inf", "-g nan", "-r ' 48000'", "-r '48000 '", "-s 1e", "-j 2.0",
                            "-j 0x2", "--sync-offset 0x1p3"}) {
        CliRun r = runCli(std::string(bad) + " -q " + shellQuote(in.string()));
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("invalid value for"), std::string::npos) << bad << ": " << r.err;
    }
    EXPECT_TRUE(outputs().empty());
    for (const char* good : {"--snr 100", "-r 4.8e4", "-g -1.5", "-s +101", "--sync-offset .5"})
        EXPECT_EQ(runCli(std::string(good) + " -q " + shellQuote(in.string())).status, 0) << good;
}

// A setting that contradicts another, or that no file can hold, is refused
// with the conflict named, instead of being changed silently.
TEST_F(Cli, ContradictingSettingsAreRefused) {
    fs::path in = dir / "c.wav";
    writeWav16(in, 44100, 1, 100, [](int, std::uint32_t i) { return std::int16_t(i); });
    const struct {
        std::string args;
        const char* says;
    } cases[] = {
        {"--stopband 5000", "not above the pass-band edge (20000 Hz by default)"},
        {"--baseband 10000 --stopband 10000", "not above the pass-band edge (--baseband 10000 Hz)"},
        {"-s 0", "--speed: must be a positive percentage"},
        {"-r 44100.5", "use a whole number"},
        {"-r 16777217", "at most 16777216 Hz"},
        {"-o " + shellQuote(in.string()), "is not a folder"},
        // Options that would do nothing, or delete what a stream cannot take back.
        {"--ceiling -1", "--ceiling goes with --prevent-clipping or --fail-on-clip"},
        {"--flat", "--flat goes with --output-dir"},
        {"--fail-on-clip --stdout", "a stream cannot be taken back"},
    };
    for (const auto& c : cases) {
        CliRun r = runCli(c.args + " -q " + shellQuote(in.string()));
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
    }
    EXPECT_TRUE(outputs().empty());
    // A stop band under an unset pass band is kept (it was dropped: a copy of the 100 frames,
    // "done"): the filter adds its tail.
    CliRun r = runCli("-q -r 0 --baseband 0 --stopband 5000 --json " + shellQuote(in.string()));
    EXPECT_EQ(r.status, 0) << r.err;
    const std::size_t at = r.out.find("\"frames_out\":");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_GT(std::stol(r.out.substr(at + 13)), 100) << r.out;
    for (const fs::path& p : outputs()) fs::remove(p);
    // Output rate 0 is the input's rate x speed, and the name says which.
    r = runCli("-q -r 0 -s 101 " + shellQuote(in.string()));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("c [44541i16 speed=1.010"), std::string::npos) << r.out;
}

TEST_F(Cli, InfoPrintsPropertiesAndDigest) {
    fs::path in = dir / "i.wav";
    writeWav16(in, 44100, 2, 10, [](int c, std::uint32_t i) { return std::int16_t(c * 1000 + i); });
    CliRun r = runCli("--info " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  sample-rate: 44100\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  frame-count: 10\n"), std::string::npos);
    auto at = r.out.find("  md5: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.out.substr(at + 7).find_first_not_of("0123456789abcdef"), 32u);
    fs::path bad = dir / "nothing.wv";
    std::ofstream(bad) << "garbage";
    r = runCli("--info " + shellQuote(bad.string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": error: "), std::string::npos);
}

// --info lists the metadata after the properties, positions as frames and a clock;
// --no-metadata leaves it out of the output.
TEST_F(Cli, InfoListsMetadataAndNoMetadataDropsIt) {
    fs::path in = dir / "m.wav";
    IOTest::WriteFile(in.string(), MetaTest::RichWav(48000, 48000));
    CliRun r = runCli("--info " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line :
         {"  bext.description: Scene 12 take 3\n",
          "  bext.time-reference: 21474837480 (124:16:32.448)\n", "  info.INAM: Title\n",
          "  cue.1: 22050 (00:00:00.459) half\n", "  cue.2.note: early\n",
          "  smpl.loop.7: 1000 (00:00:00.021) to 44099 "
          "(00:00:00.919)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_LT(r.out.find("  md5: "), r.out.find("  bext.description: "));

    r = runCli("-q -r 44100 --no-metadata " + shellQuote(in.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<fs::path> made = outputs();
    ASSERT_EQ(made.size(), 1u);
    r = runCli("--info " + shellQuote(made[0].string()));
    EXPECT_EQ(r.out.find("bext."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("info."), std::string::npos) << r.out;
}

// FLAC and WavPack outputs keep the broadcast data, and --info prints each of their tags once
// (as metadata, not again as a property).
TEST_F(Cli, InfoOfFlacAndWavpackListsEachTagOnce) {
    fs::path in = dir / "m.wav";
    IOTest::WriteFile(in.string(), MetaTest::RichWav(48000, 48000));
    for (const char* container : {"flac", "wv"}) {
        SCOPED_TRACE(container);
        CliRun r = runCli("-q -r 48000 -t int24 --container " + std::string(container) + " " +
                          shellQuote(in.string()));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<fs::path> made = outputs();
        ASSERT_EQ(made.size(), 1u);
        r = runCli("--info " + shellQuote(made[0].string()));
        EXPECT_NE(r.out.find("  bext.time-reference: 21474837480 (124:16:32.448)\n"),
                  std::string::npos)
            << r.out;
        const std::size_t first = r.out.find(": Title\n");
        ASSERT_NE(first, std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(": Title\n", first + 1), std::string::npos) << r.out;
        fs::remove(made[0]);
    }
}

// A recording cut short: --info and a conversion both name it; --container aiff writes AIFF,
// and an input that is not AIFF although named so ends with the reason and no output.
TEST_F(Cli, AiffOutputAndInputsCutShort) {
    fs::path in = dir / "cut.wav";
    writeWav16(in, 44100, 1, 2000, [](int, std::uint32_t i) { return std::int16_t(i); });
    fs::resize_file(in, 44 + 2 * 1234 + 1);
    const std::string warning = in.string() + ": warning: input cut short: 1234 of 2000 frames\n";
    CliRun r = runCli("--info " + shellQuote(in.string()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, warning);
    EXPECT_NE(r.out.find("  frame-count: 1234\n"), std::string::npos) << r.out;

    r = runCli("-q -r 44100 -t int24 --container aiff " + shellQuote(in.string()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, warning);
    const std::vector<fs::path> made = outputs();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].extension(), ".aiff");
    r = runCli("--info " + shellQuote(made[0].string()));
    EXPECT_NE(r.out.find("  mime-type: audio/x-aiff\n  sample-rate: 44100\n  channels: 1\n"
                         "  frame-count: 1234\n  bits-per-sample: 24\n"),
              std::string::npos)
        << r.out;
    fs::remove(made[0]);

    fs::path named = dir / "wave.aiff";
    writeWav16(named, 44100, 1, 100, [](int, std::uint32_t i) { return std::int16_t(i); });
    r = runCli("-q " + shellQuote(named.string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(": ???: not an AIFF or AIFF-C file\n"), std::string::npos) << r.out;
    EXPECT_TRUE(outputs().empty());
}

// The result line tells of clipping; --fail-on-clip fails the job and leaves no file;
// --prevent-clipping names the gain it used; bad values of the new options are usage errors.
TEST_F(Cli, ClippingIsReportedPreventedOrFailed) {
    fs::path in = dir / "loud.wav";
    // 11025 Hz at 45 degrees: samples at +-0.99997, inter-sample peaks of +3 dB.
    writeWavF64(in, 44100, 8820, [](std::uint32_t i) {
        return std::sqrt(2.0) * 0.99997 * std::sin(M_PI * i / 2 + M_PI / 4);
    });
    const std::string q = shellQuote(in.string());
    CliRun r = runCli("-q -r 48000 -t int24 " + q);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(": done, clipped "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" dBTP"), std::string::npos) << r.out;
    fs::remove(outputs().at(0));

    r = runCli("-q -r 48000 -t int24 --fail-on-clip " + q);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(": failed, clipped "), std::string::npos) << r.out;
    EXPECT_TRUE(outputs().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    r = runCli("-q -r 48000 -t int24 --prevent-clipping --ceiling -1 --fail-on-clip " + q);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(outputs().size(), 1u);
    EXPECT_NE(outputs()[0].filename().string().find(" gain=0.6"), std::string::npos);

    for (const char* bad : {"--seed -1", "--seed 18446744073709551616", "--ceiling 7", "--ceiling x"})
        EXPECT_EQ(runCli(std::string(bad) + " " + q).status, 2) << bad;
}
