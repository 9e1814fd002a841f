// Files on shared ground: another program has left a link, a pipe or a
// directory where this program makes, fills, writes or removes something.
// Each case checks that the program's own file ends up right and that
// nothing outside the tree was touched, and never waits on a pipe (a wait
// would hang the test until its time-out).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ground.h"
#include "testing/files.h"

namespace {

using ota_test::pathExists;
using ota_test::readFile;
using ota_test::writeFile;

class SafeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "safe-files.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        // "outside" stands for the rest of the set, "tree" for /OAD.
        ASSERT_EQ(mkdir(at("outside").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(at("tree").c_str(), 0755), 0);
        ASSERT_TRUE(writeFile(at("outside/precious"), "keep me"));
    }
    void TearDown() override { removeTree(root_.c_str()); }

    std::string at(const std::string& name) const { return root_ + "/" + name; }
    void expectOutsideIntact() const {
        EXPECT_EQ(readFile(at("outside/precious")), "keep me");
        struct stat st;
        EXPECT_EQ(lstat(at("outside").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    bool isRealDir(const std::string& path) const {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    std::string root_;
};

TEST_F(SafeFiles, WorkDirectoryThatIsALinkIsReplacedNotFollowed) {
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/update_file").c_str()), 0);
    const int fd = openWorkDirectory((at("tree/update_file") + "/").c_str());
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(isRealDir(at("tree/update_file")));
    EXPECT_FALSE(pathExists(at("tree/update_file/precious")));
    expectOutsideIntact();
}

// A directory another user owns, or that others may write, may hold
// anything another program put there: it goes whole and comes back as the
// program's own, 0700. One the program made earlier keeps its results.
class WorkDirectory : public SafeFiles {
protected:
    // Makes tree/NAME with a planted result, MODE and OWNER, opens it as the
    // work directory and checks what comes back.
    void expectOpened(const char* name, mode_t mode, uid_t owner, bool kept) {
        SCOPED_TRACE(name);
        const std::string dir = at(std::string("tree/") + name);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_TRUE(writeFile(dir + "/result", "planted"));
        ASSERT_EQ(chmod(dir.c_str(), mode), 0);
        ASSERT_EQ(chown(dir.c_str(), owner, static_cast<gid_t>(-1)), 0);

        const int fd = openWorkDirectory(dir.c_str());
        ASSERT_GE(fd, 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 022, 0u);
        EXPECT_EQ(pathExists(dir + "/result"), kept);
        if (!kept) {
            EXPECT_EQ(st.st_mode & 07777, 0700u);
        }
        close(fd);
    }
};

TEST_F(WorkDirectory, OneOpenToOthersIsReplacedAndTheOwnIsKept) {
    expectOpened("group_writable", 0770, geteuid(), false);
    expectOpened("world_writable", 01777, geteuid(), false);
    expectOpened("own_0755", 0755, geteuid(), true);
    expectOpened("own_0700", 0700, geteuid(), true);
}

TEST_F(WorkDirectory, OneOfAnotherUserIsReplaced) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
    expectOpened("foreign", 0700, 1000, false);
}

// Files are made through the held directory: a directory renamed away
// after the check, and another put in its place, change nothing.
TEST_F(SafeFiles, FilesGoIntoTheHeldDirectoryWhateverIsRenamedInItsPlace) {
    const int fd = openWorkDirectory(at("tree/work").c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(rename(at("tree/work").c_str(), at("tree/moved").c_str()), 0);
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/work").c_str()), 0);

    const int file = openFreshFileAt(fd, "precious", 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "new", 3), 3);
    close(file);
    const int back = openReadableAt(fd, "precious");
    ASSERT_GE(back, 0);
    close(back);
    close(fd);

    EXPECT_EQ(readFile(at("tree/moved/precious")), "new");
    expectOutsideIntact();
}

// A hard link at the name of a file to be made would, truncated in place,
// empty the file it links to. The name is unlinked and the file made anew.
TEST_F(SafeFiles, AHardLinkAtTheNameIsNeverWrittenThrough) {
    const int fd = openWorkDirectory(at("tree/work").c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(link(at("outside/precious").c_str(), at("tree/work/result").c_str()), 0);

    const int file = openFreshFileAt(fd, "result", 0644, true);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "result", 6), 6);
    close(file);
    close(fd);

    EXPECT_EQ(readFile(at("tree/work/result")), "result");
    expectOutsideIntact();
}

// Reading by name through a held directory takes a regular file only: a
// link is not followed and a pipe does not make the reader wait.
TEST_F(SafeFiles, ReadingThroughAHeldDirectoryTakesOnlyARegularFile) {
    const int fd = openWorkDirectory(at("tree/work").c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(symlink(at("outside/precious").c_str(), at("tree/work/link").c_str()), 0);
    ASSERT_EQ(mkfifo(at("tree/work/pipe").c_str(), 0644), 0);
    ASSERT_TRUE(writeFile(at("tree/work/plain"), "x"));
    EXPECT_LT(openReadableAt(fd, "link"), 0);
    EXPECT_LT(openReadableAt(fd, "pipe"), 0);
    const int plain = openReadableAt(fd, "plain");
    EXPECT_GE(plain, 0);
    close(plain);
    close(fd);
}

TEST_F(SafeFiles, WorkDirectoryKeepsItsContentOrReplacesAFile) {
    ASSERT_EQ(mkdir(at("tree/kept").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(at("tree/kept/result"), "verified"));
    ASSERT_TRUE(writeFile(at("tree/was_a_file"), "x"));
    for (const char* dir : {"tree/kept/", "tree/was_a_file/", "tree/fresh/"}) {
        const int fd = openWorkDirectory(at(dir).c_str());
        EXPECT_GE(fd, 0) << dir;
        close(fd);
    }
    EXPECT_EQ(readFile(at("tree/kept/result")), "verified");
    EXPECT_TRUE(isRealDir(at("tree/was_a_file")));
    EXPECT_TRUE(isRealDir(at("tree/fresh")));
}

TEST_F(SafeFiles, RemovingATreeTakesLinksPipesAndDirectoriesButNoTarget) {
    ASSERT_EQ(mkdir(at("tree/work").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("tree/work/deeper").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(at("tree/work/deeper/part"), "p"));
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/work/to_dir").c_str()), 0);
    ASSERT_EQ(symlink(at("outside/precious").c_str(), at("tree/work/deeper/to_file").c_str()), 0);
    ASSERT_EQ(mkfifo(at("tree/work/pipe").c_str(), 0644), 0);

    EXPECT_EQ(removeTree((at("tree/work") + "/").c_str()), 0);
    EXPECT_FALSE(pathExists(at("tree/work")));
    expectOutsideIntact();
}

TEST_F(SafeFiles, RemovingATreeThatIsALinkRemovesTheLinkAlone) {
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/patch_package").c_str()), 0);
    EXPECT_EQ(removeTree((at("tree/patch_package") + "/").c_str()), 0);
    EXPECT_FALSE(pathExists(at("tree/patch_package")));
    expectOutsideIntact();
    EXPECT_EQ(removeTree(at("tree/never_there").c_str()), 0);
}

TEST_F(SafeFiles, FreshFileReplacesALinkOrAPipeAndRefusesADirectory) {
    ASSERT_EQ(symlink(at("outside/precious").c_str(), at("tree/linked").c_str()), 0);
    ASSERT_EQ(mkfifo(at("tree/pipe").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(at("tree/dir").c_str(), 0755), 0);

    for (const char* name : {"tree/linked", "tree/pipe"}) {
        FILE* file = fopenFreshFile(at(name).c_str());
        ASSERT_NE(file, nullptr) << name;
        fputs("new", file);
        ASSERT_EQ(fclose(file), 0);
        struct stat st;
        ASSERT_EQ(lstat(at(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(readFile(at(name)), "new") << name;
    }
    EXPECT_EQ(openFreshFile(at("tree/dir").c_str(), 0644), -1);
    EXPECT_TRUE(isRealDir(at("tree/dir")));
    expectOutsideIntact();
}

TEST_F(SafeFiles, ReadingTakesRegularFilesOnlyAndNeverWaits) {
    ASSERT_TRUE(writeFile(at("tree/list"), "line\n"));
    ASSERT_EQ(mkfifo(at("tree/pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink(at("outside/precious").c_str(), at("tree/linked").c_str()), 0);

    FILE* list = fopenReadable(at("tree/list").c_str());
    ASSERT_NE(list, nullptr);
    fclose(list);
    const int linked = openReadable(at("tree/linked").c_str());
    EXPECT_GE(linked, 0) << "reading through a link writes nothing";
    if (linked >= 0) close(linked);
    EXPECT_EQ(openReadable(at("tree/pipe").c_str()), -1);
    EXPECT_EQ(openReadable("/dev/null"), -1);
    EXPECT_EQ(openReadable("/dev/null", true), -1) << "a character device is no block device";
    EXPECT_EQ(openReadable(at("tree").c_str()), -1);
    EXPECT_EQ(fileWc(at("tree/pipe").c_str()), 0);
}

}  // namespace
