#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "job/FileAcceptance.h"
#include "support/NoPermissionOverride.h"

namespace {

namespace fs = std::filesystem;
using Filesystem::Path;

Path ParsePath(const std::string& text, Path::Kind kind = Path::Kind::Either) {
    return Path::Parse(text, kind);
}

// A name as the file system holds it.
Path NativePath(const std::string& text, Path::Kind kind = Path::Kind::Either) {
    return Path::FromNative(text, kind);
}

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempTree {
public:
    TempTree() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                ("tessival-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~TempTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);  // does not follow links
    }

    fs::path Dir(const std::string& relative) const {
        fs::create_directories(root_ / relative);
        return root_ / relative;
    }
    void File(const std::string& relative) const { std::ofstream(root_ / relative) << "x"; }
    void Link(const std::string& relative, const fs::path& target) const {
        fs::create_symlink(target, root_ / relative);
    }
    Path RootPath() const { return NativePath(root_.string(), Path::Kind::File); }
    // The Path a walk reports for a file below the root.
    Path Below(const std::string& relative) const {
        return Path::Join(RootPath(), NativePath(relative));
    }
    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

std::vector<std::string> Bodies(const std::vector<Path>& paths, const Path& root) {
    std::vector<std::string> bodies;
    for (const Path& path : paths) {
        EXPECT_EQ(path.root, root.root);
        EXPECT_EQ(path.body.compare(0, root.body.size() + 1, root.body + "/"), 0) << path.body;
        bodies.push_back(path.body.substr(root.body.size() + 1));
    }
    return bodies;
}

TEST(ClassifyPath, ByEntryTypeAndExtension) {
    using enum EntryType;
    for (const char* name : {"a.wav", "A.WAV", "b.Wv", "c.wV", "x.y.wav", "dir/with.dot/t.wav",
                             "a.aif", "a.AIFF", "a.aifc", "a.Flac"})
        EXPECT_EQ(ClassifyPath(ParsePath(name), RegularFile), PathClass::File) << name;
    for (const char* name : {"a.mp3", "a.wav.txt", "wav", "a.wave", "a.", "a.w", ".wavx", "a.aiffx", "a.fla"})
        EXPECT_EQ(ClassifyPath(ParsePath(name), RegularFile), PathClass::Ignored) << name;
    EXPECT_EQ(ClassifyPath(ParsePath("a.wav"), Missing), PathClass::Ignored);
    EXPECT_EQ(ClassifyPath(ParsePath("a.wav"), Other), PathClass::Ignored);  // e.g. a FIFO
    EXPECT_EQ(ClassifyPath(ParsePath("music.wav"), Directory), PathClass::Directory);
    EXPECT_EQ(ClassifyPath(ParsePath("music"), Directory), PathClass::Directory);
    for (const char* dots : {".", "..", "/a/.", "C:\\a\\.."})
        EXPECT_EQ(ClassifyPath(ParsePath(dots), Directory), PathClass::Ignored) << dots;
}

// Links to folders are not entered (loops end at once); a link to a file is a file.
TEST(AddPath, WalksFoldersInNameOrderFollowingFileLinksOnly) {
    TempTree tree;
    tree.File("b.WAV");
    tree.File("a.wv");
    tree.File("c.txt");
    tree.File("C.mp3");
    tree.File("d.AIF");
    tree.File("e.FLAC");
    tree.Dir("Sub/deeper");
    tree.File("Sub/x.wav");
    tree.File("Sub/deeper/y.Wv");
    tree.File("Sub/deeper/notes.wav.bak");
    tree.Dir("empty");
    tree.File("z.wav");
    tree.Link("loop", tree.root());                   // a cycle back to the top
    tree.Link("Sub/deeper/up", tree.root() / "Sub");  // a cycle further down
    tree.Link("zz-alias", tree.root() / "Sub");       // a second name for a walked folder
    tree.Link("linked.wav", tree.root() / "z.wav");
    tree.Link("dangling.wav", tree.root() / "nowhere.wav");
    ASSERT_EQ(::mkfifo((tree.root() / "pipe.wav").c_str(), 0600), 0);

    const std::vector<Path> files = CollectAcceptedFiles(tree.RootPath());
    EXPECT_EQ(Bodies(files, tree.RootPath()),
              (std::vector<std::string>{"a.wv", "b.WAV", "d.AIF", "e.FLAC", "linked.wav", "Sub/deeper/y.Wv",
                                        "Sub/x.wav", "z.wav"}));
    for (const Path& file : files) {
        EXPECT_EQ(file.entryKind, Path::Kind::Either);
        EXPECT_TRUE(fs::exists(file.NativeText())) << file.NativeText();
    }

    // A folder named through a link is walked, and reported through that link.
    const Path alias = tree.Below("zz-alias");
    EXPECT_EQ(Bodies(CollectAcceptedFiles(alias), alias),
              (std::vector<std::string>{"deeper/y.Wv", "x.wav"}));
}

// The walk stays inside the folder it is given, whatever its links point at.
TEST(AddPath, LinksDoNotLeadOutOfTheFolder) {
    TempTree tree;
    tree.Dir("named/sub");
    tree.Dir("sibling");
    tree.File("named/a.wav");
    tree.File("named/sub/b.wav");
    tree.File("sibling/outside.wav");
    tree.File("top.wav");
    tree.Link("named/up", "..");
    tree.Link("named/sub/side", tree.root() / "sibling");
    tree.Link("named/file.wav", tree.root() / "sibling/outside.wav");
    const Path named = tree.Below("named");
    EXPECT_EQ(Bodies(CollectAcceptedFiles(named), named),
              (std::vector<std::string>{"a.wav", "file.wav", "sub/b.wav"}));
}

TEST(HasOutputSuffix, MatchesTheSuffixOfOutputs) {
    for (const char* name : {"a [48000i24 speed=1.000 gain=1.00 delay=0.00].wav",
                             "[1] [44100.5f32 speed=0.500 gain=2.00 delay=-12.25].wv",
                             " [1e+07i16 speed=1.000 gain=1.00 delay=0.00].WAV"})
        EXPECT_TRUE(HasOutputSuffix(NativePath(name))) << name;
    for (const char* name :
         {"a [live].wav", "a [48000i24 speed=1 gain=1].wav",
          "a [48000x24 speed=1 gain=1 delay=0].wav", "a [48000i speed=1 gain=1 delay=0].wav",
          "a [48000i24 speed= gain=1 delay=0].wav", "a [48000i24 speed=1 gain=1 delay=0] b.wav",
          "a[48000i24 speed=1 gain=1 delay=0].wav"})
        EXPECT_FALSE(HasOutputSuffix(NativePath(name))) << name;
}

// Walking a folder again leaves out the last run's outputs and counts them; a file named on its
// own is taken whatever its name.
TEST(AddPath, EarlierOutputsAreLeftOutOfWalks) {
    TempTree tree;
    const std::string output = "a [48000i24 speed=1.000 gain=1.00 delay=0.00].wav";
    tree.Dir("sub");
    for (const std::string& name : {std::string("a.wav"), output, std::string("sub/c [1].wav"),
                                    std::string("sub/b [8000f32 speed=1 gain=1 delay=3].wv")})
        tree.File(name);
    WalkReport report;
    EXPECT_EQ(Bodies(CollectAcceptedFiles(tree.RootPath(), &report), tree.RootPath()),
              (std::vector<std::string>{"a.wav", "sub/c [1].wav"}));
    EXPECT_EQ(report.earlierOutputs, 2u);
    EXPECT_EQ(CollectAcceptedFiles(tree.Below(output), &report).size(), 1u);
    EXPECT_EQ(report.earlierOutputs, 2u);
}

TEST(AddPath, SingleFilesAndNonEntries) {
    TempTree tree;
    tree.File("TAKE.WAV");
    tree.File("take.mp3");
    const Path take = tree.Below("TAKE.WAV");
    EXPECT_EQ(CollectAcceptedFiles(take), std::vector<Path>{take});
    EXPECT_TRUE(CollectAcceptedFiles(tree.Below("take.mp3")).empty());
    EXPECT_TRUE(CollectAcceptedFiles(tree.Below("missing.wav")).empty());
    EXPECT_TRUE(CollectAcceptedFiles(tree.Below("missing")).empty());
    EXPECT_TRUE(CollectAcceptedFiles(ParsePath("")).empty());

    // A directory given with a trailing separator walks the same way.
    const std::vector<Path> files =
        CollectAcceptedFiles(NativePath(tree.root().string() + "/", Path::Kind::Either));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].body, take.body);
}

TEST(AddPath, TakesEveryNameAsTheFileSystemHoldsIt) {
    // Blanks at either end, backslashes, colons and bytes that are not UTF-8 are part of a name:
    // each entry is reported under its own name, never under one it would be read as.
    TempTree tree;
    const std::vector<std::string> names = {" lead.wav",       "[1] x.wav",   "back/slash.wav",
                                            "back\\slash.wav", "c:\\x.wav",   "ok.wav",
                                            "tail .wav",       "\xff\xfe.wav"};
    tree.Dir("back");
    tree.Dir("in ");
    for (const std::string& name : names) tree.File(name);
    tree.File("in /x.wav");
    tree.File("trail.wav ");  // not an audio extension
    const std::vector<Path> files = CollectAcceptedFiles(tree.RootPath());
    std::vector<std::string> expected = names;
    expected.insert(expected.begin() + 5, "in /x.wav");
    EXPECT_EQ(Bodies(files, tree.RootPath()), expected);
    for (const Path& file : files) EXPECT_TRUE(fs::exists(file.NativeText())) << file.NativeText();
    // The folder named with a blank at its end is the one walked.
    EXPECT_EQ(CollectAcceptedFiles(NativePath((tree.root() / "in ").string())).size(), 1u);
}

// A folder that cannot be listed is walked past and named in the report (its files would
// otherwise be lost without a word). One listed but not searchable (read without execute
// permission; names past PATH_MAX fail the same way) has entries that cannot be looked up: its
// files are still handed on, so that their jobs say why they fail, and its sub-folders are
// named as unreadable (both were passed over without a word).
TEST(AddPath, FoldersThatCannotBeReadOrEnteredAreReported) {
    const struct {
        fs::perms mode;  // of "locked"
        int access;      // what the mode denies
        std::vector<std::string> files;
        const char* unreadable;
    } rows[] = {
        {fs::perms::none, R_OK, {"a.wav"}, "locked"},
        {fs::perms::owner_read, X_OK, {"a.wav", "locked/b.wav", "locked/link.wav"}, "locked/sub"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.unreadable);
        TempTree tree;
        tree.File("a.wav");
        tree.Dir("locked/sub");
        tree.File("locked/b.wav");
        tree.File("locked/sub/c.wav");
        tree.Link("locked/link.wav", tree.root() / "a.wav");  // a link to a file is walked
        fs::permissions(tree.root() / "locked", r.mode);
        std::vector<Path> files;
        WalkReport report;
        {
            TestSupport::NoPermissionOverride obey;
            if (::faccessat(AT_FDCWD, (tree.root() / "locked").c_str(), r.access, AT_EACCESS) ==
                0) {
                fs::permissions(tree.root() / "locked", fs::perms::owner_all);
                GTEST_SKIP() << "permissions are not enforced for this user";
            }
            EXPECT_NO_THROW(files = CollectAcceptedFiles(tree.RootPath(), &report));
        }
        fs::permissions(tree.root() / "locked", fs::perms::owner_all);
        EXPECT_EQ(Bodies(files, tree.RootPath()), r.files);
        ASSERT_EQ(report.unreadableFolders.size(), 1u);
        EXPECT_EQ(report.unreadableFolders[0].first, (tree.root() / r.unreadable).string());
        EXPECT_EQ(report.unreadableFolders[0].second, std::strerror(EACCES));
    }
}

// A folder renamed or removed after its parent was listed (a library reorganised during a run)
// is named as unreadable: its files were lost without a word.
TEST(AddPath, AFolderGoneSinceItsParentWasListedIsReported) {
    for (const bool removed : {false, true}) {
        TempTree tree;
        tree.File("a.wav");
        tree.Dir("b");
        tree.File("b/c.wav");
        std::vector<std::string> files;
        WalkReport report;
        AddPath(
            tree.RootPath(),
            [&](const Path& p) {
                files.push_back(p.NativeText());
                if (removed)
                    fs::remove_all(tree.root() / "b");
                else
                    fs::rename(tree.root() / "b", tree.root() / "d");
            },
            &report);
        EXPECT_EQ(files, std::vector<std::string>{(tree.root() / "a.wav").string()});
        ASSERT_EQ(report.unreadableFolders.size(), 1u) << removed;
        EXPECT_EQ(report.unreadableFolders[0].first, (tree.root() / "b").string());
        EXPECT_EQ(report.unreadableFolders[0].second, std::strerror(ENOENT));
    }
}

// Each file once, under its plainest name, in one order whatever order the names came in.
TEST(DistinctFilesInOrder, OneNamePerFileInputOrderDoesNotMatter) {
    TempTree tree;
    tree.Dir("b");
    for (const char* name : {"x.wav", "a.wav", "B.wav", "b/take.wav"}) tree.File(name);
    tree.Link("link.wav", "x.wav");
    tree.Link("alias", tree.root() / "b");
    fs::create_hard_link(tree.root() / "x.wav", tree.root() / "hard.wav");
    const std::vector<std::string> cases[][2] = {
        {{"link.wav", "./x.wav", "x.wav"}, {"x.wav"}},
        {{"alias/take.wav", "b/take.wav"}, {"b/take.wav"}},
        {{"hard.wav", "x.wav"}, {"hard.wav"}},
        {{"B.wav", "b/take.wav", "a.wav", "gone.wav"},
         {"a.wav", "b/take.wav", "B.wav", "gone.wav"}},
    };
    for (const auto& [names, kept] : cases) {
        std::vector<std::size_t> order = {0, 1, 2, 3};
        order.resize(names.size());
        do {
            std::vector<Path> files;
            for (std::size_t i : order) files.push_back(tree.Below(names[i]));
            EXPECT_EQ(Bodies(DistinctFilesInOrder(files), tree.RootPath()), kept)
                << names[order[0]];
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

TEST(IsQueuedOrRunning, MatchesRootAndExactBodyOfActiveRows) {
    const Path queued = ParsePath("C:\\Music\\take.wav", Path::Kind::File);
    const Path running = ParsePath("/srv/a.wv");
    const Path failed = ParsePath("C:\\Music\\failed.wav");
    const Path finished = ParsePath("C:\\Music\\done.wav");
    const std::vector<RowPathState> rows = {
        {&queued, 0}, {&running, 1}, {&failed, 2}, {&finished, 3}};

    EXPECT_TRUE(IsQueuedOrRunning(ParsePath("C:/Music/take.wav"), rows));  // kind not compared
    EXPECT_TRUE(IsQueuedOrRunning(ParsePath("\\srv\\a.wv"), rows));
    EXPECT_FALSE(IsQueuedOrRunning(failed, rows));
    EXPECT_FALSE(IsQueuedOrRunning(finished, rows));
    EXPECT_FALSE(IsQueuedOrRunning(ParsePath("D:\\Music\\take.wav"), rows));
    EXPECT_FALSE(IsQueuedOrRunning(ParsePath("Music\\take.wav"), rows));
    EXPECT_FALSE(IsQueuedOrRunning(ParsePath("C:\\Music\\TAKE.wav"), rows));
    EXPECT_FALSE(IsQueuedOrRunning(ParsePath("C:\\Music\\\\take.wav"), rows));
    EXPECT_FALSE(IsQueuedOrRunning(queued, {}));

    // Adding the same folder twice while its jobs wait adds each file once.
    TempTree tree;
    tree.File("one.wav");
    tree.File("two.wv");
    std::vector<Path> added;
    std::vector<RowPathState> list;
    const auto addRow = [&](const Path& path) {
        list.clear();
        for (const Path& row : added) list.push_back({&row, 0});
        if (!IsQueuedOrRunning(path, list)) added.push_back(path);
    };
    AddPath(tree.RootPath(), addRow);
    AddPath(tree.RootPath(), addRow);
    AddPath(tree.Below("one.wav"), addRow);
    EXPECT_EQ(added.size(), 2u);
}

}  // namespace
