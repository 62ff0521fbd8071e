// Batch work: JSON strings and lines, shards, name lists, mirrored folders,
// and what a job does with an output that exists already.

#include "job/Batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "job/JobQueue.h"
#include "support/IOTestUtil.h"
#include "support/JobRows.h"
#include "support/MiniJson.h"
#include "support/WavFiles.h"

using TestSupport::MiniJson;

namespace {

Filesystem::Path file(const std::string& text) {
    return Filesystem::Path::FromNative(text, Filesystem::Path::Kind::File);
}

Filesystem::Path folder(const std::string& text) {
    return Filesystem::Path::FromNative(text, Filesystem::Path::Kind::Directory);
}

}  // namespace

TEST(Batch, JsonStringEscapesWhatJsonCannotHold) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"take.wav", R"("take.wav")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {std::string("\n\t\x01\x1f\x7f", 5), "\"\\n\\t\\u0001\\u001f\x7f\""},
        {"caf\xc3\xa9 \xf0\x9f\x8e\xb5", "\"caf\xc3\xa9 \xf0\x9f\x8e\xb5\""},  // UTF-8 kept
        {"\xff\xfe.wav", R"("\udcff\udcfe.wav")"},                           // not UTF-8
        {"\x80", R"("\udc80")"},                                             // lone continuation
        {"\xc0\xaf", R"("\udcc0\udcaf")"},                                   // overlong "/"
        {"\xed\xa0\x80", R"("\udced\udca0\udc80")"},                         // a surrogate
        {"\xe2\x82", R"("\udce2\udc82")"},                                   // cut short
        {"\xf4\x90\x80\x80", R"("\udcf4\udc90\udc80\udc80")"},               // past U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.in), c.out);
        // Every string reads back byte for byte.
        const auto o = MiniJson::ParseObject("{\"k\":" + JsonString(c.in) + "}");
        EXPECT_EQ(o.at("k").text, c.in);
    }
}

TEST(Batch, ShardTextIsReadStrictly) {
    const struct {
        const char* text;
        unsigned index, count;  // count 0: refused
    } cases[] = {
        {"0/1", 0, 1},  {"3/4", 3, 4},    {"0/1000000", 0, 1000000}, {"4/4", 0, 0},
        {"1/0", 0, 0},  {"0/0", 0, 0},    {"", 0, 0},                {"1/", 0, 0},
        {"/2", 0, 0},   {"-1/2", 0, 0},   {"+1/2", 0, 0},            {" 1/2", 0, 0},
        {"1/2 ", 0, 0}, {"1/2/3", 0, 0},  {"a/2", 0, 0},             {"0/1000001", 0, 0},
        {"1.0/2", 0, 0}, {"99999999/99999999", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.count == 0) {
            EXPECT_THROW(ParseShard(c.text), BatchInputError);
            continue;
        }
        const Shard s = ParseShard(c.text);
        EXPECT_EQ(s.index, c.index);
        EXPECT_EQ(s.count, c.count);
    }
}

TEST(Batch, ShardsCoverTheListOnceWhateverItsLength) {
    for (unsigned count = 1; count <= 5; ++count) {
        for (int size = 0; size <= 12; ++size) {
            std::vector<int> list(size);
            for (int i = 0; i < size; ++i) list[i] = i;
            std::multiset<int> seen;
            std::size_t largest = 0, smallest = list.size();
            for (unsigned index = 0; index < count; ++index) {
                const std::vector<int> mine = TakeShard(list, Shard{index, count});
                seen.insert(mine.begin(), mine.end());
                largest = std::max(largest, mine.size());
                smallest = std::min(smallest, mine.size());
            }
            EXPECT_EQ(seen, std::multiset<int>(list.begin(), list.end())) << size << "/" << count;
            EXPECT_LE(largest - smallest, 1u) << "shares differ by at most one file";
        }
    }
}

// Items of one key go to one task whole, placed where their first item is; the shares still
// cover the list once, and with every key different they are TakeShard's.
TEST(Batch, GroupedShardsKeepOneKeyInOneTask) {
    const std::vector<std::string> list = {"a1", "b1", "a2", "c1", "d1", "b2", "e1", "a3"};
    auto key = [](const std::string& item) { return item.substr(0, 1); };
    auto whole = [](const std::string& item) { return item; };
    for (unsigned count = 1; count <= 4; ++count) {
        std::multiset<std::string> seen;
        for (unsigned index = 0; index < count; ++index) {
            const std::vector<std::string> mine = TakeShard(list, Shard{index, count}, key);
            seen.insert(mine.begin(), mine.end());
            for (const std::string& item : list)
                EXPECT_EQ(
                    std::count(mine.begin(), mine.end(), item) == 1,
                    std::count_if(mine.begin(), mine.end(),
                                  [&](const std::string& m) { return key(m) == key(item); }) > 0)
                    << item << " goes with the rest of its key";
            EXPECT_EQ(TakeShard(list, Shard{index, count}, whole),
                      TakeShard(list, Shard{index, count}));
        }
        EXPECT_EQ(seen, std::multiset<std::string>(list.begin(), list.end())) << count;
    }
    // Groups in the order of their first items: a b c d e.
    EXPECT_EQ(TakeShard(list, Shard{0, 2}, key),
              (std::vector<std::string>{"a1", "a2", "c1", "e1", "a3"}));
}

TEST(Batch, NameListsSplitOnTheirSeparator) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitNameList("a.wav\nb c.wav\n\nd\\e.wav", false), (V{"a.wav", "b c.wav", "d\\e.wav"}));
    EXPECT_EQ(SplitNameList(std::string("a\nb.wav\0c.wav\0", 14), true), (V{"a\nb.wav", "c.wav"}));
    EXPECT_EQ(SplitNameList("a.wav\r\nb c.wav\r\n\r\nd.wav\r", false),
              (V{"a.wav", "b c.wav", "d.wav"}));
    EXPECT_EQ(SplitNameList(std::string("a\r\0", 3), true), V{"a\r"});
    EXPECT_EQ(SplitNameList("", false), V{});
    EXPECT_THROW(SplitNameList(std::string("a.wav\0b.wav", 11), false), BatchInputError);
    EXPECT_THROW(ReadNameList("/nonexistent/list", false), BatchInputError);
}

TEST(Batch, MirroredFolderKeepsThePlaceBelowTheWalkedFolder) {
    const struct {
        const char *out, *walked, *input, *expected;
    } cases[] = {
        {"/out", "/in", "/in/take.wav", "/out/"},
        {"/out", "/in", "/in/a/b/take.wav", "/out/a/b/"},
        {"out", "in", "in/a/take.wav", "out/a/"},
        {"/out", "/in", "/inner/take.wav", "/out/"},  // not below: directly in the folder
        {"/out", "/", "/x/take.wav", "/out/x/"},
        {"/out", "", "a/take.wav", "/out/a/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MirroredFolder(folder(c.out), folder(c.walked), file(c.input)).NativeText(),
                  c.expected)
            << c.input;
}

TEST(Batch, JobRecordLineCarriesTheFigures) {
    JobRecord r;
    r.input = file("in/\xff.wav");
    r.output = file("out/x.wav");
    r.state = JobState::Finished;
    r.text = "done, clipped";
    r.warnings = {"clipped"};
    r.figures = {44100, 48000, 1000, 1088, "int24", "wav", 0.25};
    struct Case {
        JobState state;
        bool skipped;
        std::string text, expectState;
    };
    for (const Case& c : {Case{JobState::Finished, false, "done", "done"},
                          Case{JobState::Finished, true, "skipped", "skipped"},
                          Case{JobState::Failed, false, "aborted", "aborted"},
                          Case{JobState::Failed, false, "???: Malformed", "failed"}}) {
        r.state = c.state;
        r.skipped = c.skipped;
        r.text = c.text;
        const std::string line = JobRecordJson(r);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const auto o = MiniJson::ParseObject(line);
        EXPECT_EQ(o.at("state").text, c.expectState);
        EXPECT_EQ(o.at("input").text, "in/\xff.wav");
        EXPECT_EQ(o.at("output").text, "out/x.wav");
        EXPECT_EQ(o.at("reason").kind == TestSupport::JsonValue::Null,
                  c.state == JobState::Finished);
        EXPECT_EQ(o.at("input_rate").number, 44100);
        EXPECT_EQ(o.at("output_rate").number, 48000);
        EXPECT_EQ(o.at("frames_in").number, 1000);
        EXPECT_EQ(o.at("frames_out").number, 1088);
        EXPECT_EQ(o.at("sample_type").text, "int24");
        EXPECT_EQ(o.at("container").text, "wav");
        EXPECT_EQ(o.at("seconds").number, 0.25);
        EXPECT_EQ(o.at("warnings").items, std::vector<std::string>{"clipped"});
    }
    r.output.reset();
    r.figures = {};
    const auto o = MiniJson::ParseObject(JobRecordJson(r));
    for (const char* unknown : {"output", "input_rate", "output_rate", "frames_in", "frames_out",
                                "sample_type", "container"})
        EXPECT_EQ(o.at(unknown).kind, TestSupport::JsonValue::Null) << unknown;
}

// The choice for an output that exists: replaced (a new file), left alone and reported
// "skipped", or left alone with the file failing. Nothing else is left in the folder.
TEST(Batch, ExistingOutputIsReplacedSkippedOrRefused) {
    IOTest::TempDir dir;
    const std::string in = dir.file("take.wav");
    TestSupport::writeWav16(in, 44100, 1, 500, [](int, std::uint32_t i) { return std::int16_t(i); });
    const std::string out = dir.file("take [44100i16 speed=1.000 gain=1.00 delay=0.00].wav");
    const struct {
        IfExists choice;
        JobState state;
        std::string text;  // start of the State text
        bool replaced;
    } cases[] = {
        {IfExists::Replace, JobState::Finished, "done", true},
        {IfExists::Skip, JobState::Finished, "skipped", false},
        {IfExists::Fail, JobState::Failed, "the output file exists already: " + out, false},
    };
    for (const auto& c : cases) {
        IOTest::WriteFile(out, {'o', 'l', 'd'});
        struct stat before {};
        ASSERT_EQ(stat(out.c_str(), &before), 0);
        ConversionRequest request;
        request.outputRate = 44100;
        request.ifExists = c.choice;
        TestSupport::TestRow row(file(in));
        {
            JobQueue queue(1u);
            queue.Submit(row, request);
            queue.WaitIdle();
        }
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(row.text().rfind(c.text, 0), 0u) << row.text();
        const IOTest::Bytes now = IOTest::ReadFile(out);
        EXPECT_EQ(now == IOTest::Bytes({'o', 'l', 'd'}), !c.replaced);
        EXPECT_EQ(now.size() == 44 + 1000, c.replaced);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }
}
