// The removal, type tests, path joiner, directory helpers and list line
// counter, on real trees in a fresh temporary directory.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ground.h"
#include "testing/files.h"

namespace {

using ota_test::pathExists;
bool exists(const std::string& path) {
    return pathExists(path);
}

void writeFile(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(ota_test::writeFile(path, bytes)) << path;
}

void makeDir(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path << ": " << strerror(errno);
}

class FsHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fs_helpers_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override {
        // rm walks with directory descriptors, so it also clears the trees
        // whose full paths are longer than the kernel accepts.
        const std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string at(const std::string& rel) const { return root_ + "/" + rel; }

    std::string root_;
};

TEST_F(FsHelpers, RemovingARegularFileDeletesIt) {
    writeFile(at("f"), "x");
    removeDirFile(at("f").c_str(), nullptr);
    EXPECT_FALSE(exists(at("f")));
}

TEST_F(FsHelpers, RemovingADirectoryEmptiesItAndKeepsIt) {
    makeDir(at("a"));
    makeDir(at("a/b"));
    makeDir(at("a/b/c"));
    writeFile(at("a/top"), "1");
    writeFile(at("a/b/mid"), "2");
    writeFile(at("a/b/c/deep"), "3");
    removeDirFile(at("a").c_str(), nullptr);
    EXPECT_TRUE(isDir(at("a").c_str()));
    EXPECT_FALSE(exists(at("a/top")));
    EXPECT_FALSE(exists(at("a/b")));
}

TEST_F(FsHelpers, RemovingAMissingPathTouchesNothing) {
    writeFile(at("neighbour"), "n");
    removeDirFile(at("missing").c_str(), nullptr);
    removeDirFile(at("missing/deeper").c_str(), nullptr);
    EXPECT_TRUE(isFile(at("neighbour").c_str()));
}

// The keep list is matched against the composed child paths; with or without
// the trailing slash on the starting directory the children read /a/x.
class KeepList : public FsHelpers, public ::testing::WithParamInterface<const char*> {};

TEST_P(KeepList, SparesTheListedFileAndTheDirectoriesAboveIt) {
    makeDir(at("a"));
    makeDir(at("a/b"));
    makeDir(at("a/c"));
    makeDir(at("a/c/d"));
    writeFile(at("a/b/f"), "kept");
    writeFile(at("a/b/g"), "gone");
    writeFile(at("a/x"), "gone");
    writeFile(at("a/c/d/y"), "gone");
    std::vector<std::string> keep = {at("a/b/f")};

    const std::string start = at("a") + GetParam();
    removeDirFile(start.c_str(), &keep);

    EXPECT_TRUE(isFile(at("a/b/f").c_str()));
    EXPECT_TRUE(isDir(at("a/b").c_str()));
    EXPECT_TRUE(isDir(at("a").c_str()));
    EXPECT_FALSE(exists(at("a/b/g")));
    EXPECT_FALSE(exists(at("a/x")));
    EXPECT_FALSE(exists(at("a/c")));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutSlash, KeepList, ::testing::Values("", "/"));

TEST_F(FsHelpers, KeepEntriesMatchByteForByte) {
    makeDir(at("a"));
    writeFile(at("a/f"), "x");
    // A doubled slash names the same file to the kernel but not to the list.
    std::vector<std::string> keep = {root_ + "//a/f", at("a/f/")};
    removeDirFile(at("a").c_str(), &keep);
    EXPECT_FALSE(exists(at("a/f")));
}

TEST_F(FsHelpers, KeptFileGivenDirectlyIsSpared) {
    writeFile(at("f"), "x");
    std::vector<std::string> keep = {at("f")};
    removeDirFile(at("f").c_str(), &keep);
    EXPECT_TRUE(isFile(at("f").c_str()));
}

TEST_F(FsHelpers, SymbolicLinksSurviveWithTheirDirectoryAndTargetsAreUntouched) {
    makeDir(at("outside"));
    writeFile(at("outside/precious"), "p");
    writeFile(at("target_file"), "t");
    makeDir(at("a"));
    makeDir(at("a/links"));
    makeDir(at("a/plain"));
    writeFile(at("a/plain/f"), "x");
    ASSERT_EQ(symlink(at("outside").c_str(), at("a/links/to_dir").c_str()), 0);
    ASSERT_EQ(symlink(at("target_file").c_str(), at("a/links/to_file").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", at("a/links/dangling").c_str()), 0);

    removeDirFile(at("a").c_str(), nullptr);

    EXPECT_TRUE(exists(at("a/links/to_dir")));
    EXPECT_TRUE(exists(at("a/links/to_file")));
    EXPECT_TRUE(exists(at("a/links/dangling")));
    EXPECT_TRUE(isDir(at("a/links").c_str()));
    EXPECT_FALSE(exists(at("a/plain")));
    EXPECT_TRUE(isFile(at("outside/precious").c_str()));
    EXPECT_TRUE(isFile(at("target_file").c_str()));
}

TEST_F(FsHelpers, ALinkGivenDirectlyIsLeftAndItsTargetKept) {
    makeDir(at("real"));
    writeFile(at("real/f"), "x");
    ASSERT_EQ(symlink(at("real").c_str(), at("link").c_str()), 0);
    removeDirFile(at("link").c_str(), nullptr);
    EXPECT_TRUE(isFile(at("real/f").c_str()));
    EXPECT_TRUE(exists(at("link")));
}

TEST_F(FsHelpers, FifosSocketsAndDevicesAreLeftWithTheirDirectory) {
    makeDir(at("a"));
    makeDir(at("a/special"));
    ASSERT_EQ(mkfifo(at("a/special/fifo").c_str(), 0600), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = at("a/special/sock");
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    strcpy(addr.sun_path, sockPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(sock);
    // A character device node needs the right to make one; without it the
    // fifo and the socket still show the rule.
    const bool haveDevice = mknod(at("a/special/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    writeFile(at("a/special/plain"), "x");

    removeDirFile(at("a").c_str(), nullptr);

    EXPECT_TRUE(exists(at("a/special/fifo")));
    EXPECT_TRUE(exists(at("a/special/sock")));
    if (haveDevice) {
        EXPECT_TRUE(exists(at("a/special/null")));
    }
    EXPECT_FALSE(exists(at("a/special/plain")));
    EXPECT_TRUE(isDir(at("a/special").c_str()));
}

TEST_F(FsHelpers, DeepTreeIsRemovedDepthFirst) {
    std::string path = at("deep");
    makeDir(path);
    for (int level = 0; level < 200; ++level) {
        path += "/d";
        makeDir(path);
        writeFile(path + "/f", "x");
    }
    removeDirFile(at("deep").c_str(), nullptr);
    EXPECT_TRUE(isDir(at("deep").c_str()));
    EXPECT_FALSE(exists(at("deep/d")));
}

// An entry whose full path would not fit the composed-path buffer is left in
// place; the entries around it are still removed.
TEST_F(FsHelpers, EntriesBeyondThePathLimitAreLeftAlone) {
    makeDir(at("long"));
    writeFile(at("long/short"), "x");
    int dirFd = open(at("long").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    const std::string name(250, 'n');
    size_t length = at("long").size();
    while (length + 1 + name.size() < kComposedPathMax) {
        ASSERT_EQ(mkdirat(dirFd, name.c_str(), 0755), 0);
        const int next = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(next, 0);
        close(dirFd);
        dirFd = next;
        length += 1 + name.size();
    }
    const int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    close(dirFd);

    removeDirFile(at("long").c_str(), nullptr);

    EXPECT_FALSE(exists(at("long/short")));
    EXPECT_TRUE(isDir((at("long") + "/" + name).c_str()));
}

TEST(GetFilePath, AddsOneSlashOnlyWhenMissing) {
    char out[kComposedPathMax];
    EXPECT_STREQ(getFilePath("/a", "x", out), "/a/x");
    EXPECT_STREQ(getFilePath("/a/", "x", out), "/a/x");
    EXPECT_STREQ(getFilePath("/", "x", out), "/x");
    EXPECT_EQ(getFilePath("/a", "x", out), out);
}

TEST(GetFilePath, LongestPathThatFitsIsJoinedAndOneMoreIsRefused) {
    std::vector<char> out(kComposedPathMax + 16, '#');
    const std::string dir = "/" + std::string(kComposedPathMax - 100, 'd');
    const std::string fits(kComposedPathMax - 1 - dir.size() - 1, 'f');
    EXPECT_EQ(std::string(getFilePath(dir.c_str(), fits.c_str(), out.data())), dir + "/" + fits);
    EXPECT_EQ(strlen(out.data()), kComposedPathMax - 1);

    std::fill(out.begin(), out.end(), '#');
    const std::string tooLong = fits + "f";
    EXPECT_STREQ(getFilePath(dir.c_str(), tooLong.c_str(), out.data()), "");
    // Nothing is written past the buffer the caller owns.
    for (size_t i = kComposedPathMax; i < out.size(); ++i) {
        EXPECT_EQ(out[i], '#') << i;
    }
}

TEST(TypeTests, SpecialDirectoryNamesAreExactlyDotAndDotDot) {
    EXPECT_TRUE(isSpecialDir("."));
    EXPECT_TRUE(isSpecialDir(".."));
    for (const char* name : {"...", ".a", "a.", "", "./"}) {
        EXPECT_FALSE(isSpecialDir(name)) << name;
    }
}

TEST(TypeTests, IsExistFileNeedsAListAndAnEqualEntry) {
    const std::vector<std::string> list = {"/a/b", "/c"};
    EXPECT_FALSE(isExistFile(nullptr, "/a/b"));
    EXPECT_TRUE(isExistFile(&list, "/c"));
    EXPECT_FALSE(isExistFile(&list, "/a"));
    EXPECT_FALSE(isExistFile(&list, "/c/"));
}

TEST_F(FsHelpers, IsDirExistCases) {
    makeDir(at("d"));
    writeFile(at("f"), "x");
    ASSERT_EQ(symlink(at("d").c_str(), at("link_to_dir").c_str()), 0);
    EXPECT_TRUE(isDirExist(""));
    EXPECT_TRUE(isDirExist(at("d")));
    EXPECT_TRUE(isDirExist(at("d") + "/"));
    EXPECT_FALSE(isDirExist(at("f")));
    EXPECT_FALSE(isDirExist(at("missing")));
    EXPECT_TRUE(isDirExist(at("link_to_dir")));
    EXPECT_FALSE(isDir(at("link_to_dir").c_str()));
    EXPECT_FALSE(isFile(at("d").c_str()));
    EXPECT_FALSE(isFile(at("link_to_dir").c_str()));
}

TEST_F(FsHelpers, MkDiretoryMakesOneLevelOnly) {
    EXPECT_EQ(mkDiretory(at("new")), 0);
    struct stat st;
    ASSERT_EQ(stat(at("new").c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 07777, 0775u & ~mask);
    EXPECT_EQ(mkDiretory(at("new")), 1);
    EXPECT_EQ(mkDiretory(at("no/parent")), 1);
    writeFile(at("file"), "x");
    EXPECT_EQ(mkDiretory(at("file")), 1);
}

// fileWc counts reads of at most 127 characters: a line of n characters and
// its newline counts ceil((n+1)/127) times, a last line without newline
// ceil(n/127) times.
struct WcCase {
    const char* label;
    std::vector<int> lines;  // characters of each line, newline not counted
    bool lastHasNewline;
    int expected;
};

class FileWc : public FsHelpers, public ::testing::WithParamInterface<WcCase> {};

TEST_P(FileWc, CountsReadsOf127Characters) {
    const WcCase& c = GetParam();
    std::string text;
    for (size_t i = 0; i < c.lines.size(); ++i) {
        text += std::string(c.lines[i], 'a' + i % 26);
        if (i + 1 < c.lines.size() || c.lastHasNewline) {
            text += '\n';
        }
    }
    writeFile(at("list.ini"), text);
    EXPECT_EQ(fileWc(at("list.ini").c_str()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FileWc,
    ::testing::Values(
        WcCase{"126", {126}, true, 1}, WcCase{"127", {127}, true, 2}, WcCase{"128", {128}, true, 2},
        WcCase{"253", {253}, true, 2}, WcCase{"254", {254}, true, 3}, WcCase{"255", {255}, true, 3},
        WcCase{"126_no_newline", {126}, false, 1}, WcCase{"127_no_newline", {127}, false, 1},
        WcCase{"128_no_newline", {128}, false, 2}, WcCase{"254_no_newline", {254}, false, 2},
        WcCase{"three_short_last_open", {10, 20, 30}, false, 3},
        WcCase{"blank_lines", {0, 0, 5}, true, 3},
        WcCase{"mixed", {40, 127, 300}, true, 1 + 2 + 3}),
    [](const ::testing::TestParamInfo<WcCase>& info) { return std::string(info.param.label); });

TEST_F(FsHelpers, FileWcOfNothingIsZero) {
    writeFile(at("empty"), "");
    EXPECT_EQ(fileWc(at("empty").c_str()), 0);
    EXPECT_EQ(fileWc(at("missing").c_str()), 0);
    EXPECT_EQ(fileWc(nullptr), 0);
}

}  // namespace
