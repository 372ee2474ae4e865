// The navigation file slot: positioned big-endian access, appends, and refusals at the bounds.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "shared/QuorvelError.h"
#include "fileio/NavigationFile.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::readFile;
using test::writeFile;

class NavigationFileTest : public ::testing::Test {
  protected:
    void SetUp() override { writeFile(path, original); }

    test::TempDir dir;
    std::string path = dir / "file.bin";
    ByteString original{0x4D, 0x50, 0xFF, 0xFE, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3A};
};

TEST_F(NavigationFileTest, ReadsFieldsAtOffsets) {
    const NavigationFile file(path);
    EXPECT_EQ(12, file.length());
    EXPECT_EQ(0x4D, file.getByte(0));
    EXPECT_EQ(0xFE, file.getByte(3));
    EXPECT_EQ(-2, file.getBE16(2));
    EXPECT_EQ(std::numeric_limits<std::int32_t>::min(), file.getBE32(4));
    EXPECT_EQ(0x3A, file.getBE32(8));
    EXPECT_EQ((ByteString{0x50, 0xFF}), file.getBytes(1, 2));
}

TEST_F(NavigationFileTest, WritesInPlaceWithoutTranslatingHighBytes) {
    {
        NavigationFile file(path);
        file.putByte(0, 0x80);
        file.putBE32(8, 24);
        file.putBytes(1, {});
        file.putBytes(1, asciiBytes("AB"));
    }
    EXPECT_EQ((ByteString{0x80, 'A', 'B', 0xFE, 0x80, 0, 0, 0, 0x00, 0x00, 0x00, 0x18}),
              readFile(path));
}

TEST_F(NavigationFileTest, PutBytesAtTheLengthAppendsExactly) {
    {
        NavigationFile file(path);
        file.putBytes(file.length(), {});
        EXPECT_EQ(12, file.length());
        file.putBytes(file.length(), {1, 2, 3});
        EXPECT_EQ(15, file.length());
    }
    ByteString wanted = original;
    wanted.insert(wanted.end(), {1, 2, 3});
    EXPECT_EQ(wanted, readFile(path));
}

TEST_F(NavigationFileTest, AccessOutsideTheFileThrowsAndChangesNothing) {
    {
        NavigationFile file(path);
        EXPECT_THROW(file.getByte(12), QuorvelError);
        EXPECT_THROW(file.getBE16(11), QuorvelError);
        EXPECT_THROW(file.getBE32(9), QuorvelError);
        EXPECT_THROW(file.getByte(-1), QuorvelError);
        EXPECT_THROW(file.getBytes(10, 3), QuorvelError);
        EXPECT_THROW(file.getBytes(0, std::int64_t{1} << 40), QuorvelError);
        EXPECT_THROW(file.putByte(13, 1), QuorvelError);           // would leave a hole
        EXPECT_THROW(file.putBytes(10, {1, 2, 3}), QuorvelError);  // straddles the end
        EXPECT_THROW(file.putBE32(10, 1), QuorvelError);
        EXPECT_THROW(file.putBytes(-1, {1}), QuorvelError);
        EXPECT_THROW(file.putBytes(std::numeric_limits<std::int64_t>::max(), {1}), QuorvelError);
        EXPECT_FALSE(file.contains(11, 2));
        EXPECT_TRUE(file.contains(12, 0));
    }
    EXPECT_EQ(original, readFile(path));
}

TEST_F(NavigationFileTest, ACheckRecordsWhatAWriteWouldChangeAndTouchesNothing) {
    const long long before = test::modificationTime(path);
    NavigationFile check(path, NavigationFile::Mode::Check);
    check.putBytes(0, asciiBytes("AB"), {{"version", 2}});
    check.putBytes(0, asciiBytes("AC"), {{"version", 2}});  // the last write wins
    check.putBE32(8, 0x3A, "address");                      // the value it had: no change
    check.putBytes(check.length(), {7, 8}, {{"block", 2}});
    EXPECT_EQ(14, check.length());
    EXPECT_EQ('C', check.getByte(1));
    EXPECT_EQ((std::vector<NavigationFile::Change>{{"version", 0, {0x4D, 0x50}, asciiBytes("AC")},
                                                    {"block", 12, {}, {7, 8}}}),
              check.changes());
    EXPECT_EQ("", check.writeProblem());
    EXPECT_EQ(original, readFile(path));
    EXPECT_EQ(before, test::modificationTime(path));
}

TEST_F(NavigationFileTest, AFailedAppendIsCutBackToTheOldLength) {
    // A file-size limit makes the append fail the way a full disk does.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, SIG_IGN);
    {
        NavigationFile file(path);
        struct rlimit limit = saved;
        limit.rlim_cur = 14;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        EXPECT_THROW(file.putBytes(file.length(), ByteString(16, 0xAA)), FileError);
        ::setrlimit(RLIMIT_FSIZE, &saved);
    }
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(original, readFile(path));
}

TEST_F(NavigationFileTest, LinksFifosAndFoldersAreNeverOpened) {
    ASSERT_EQ(::symlink(path.c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    for (const auto mode : {NavigationFile::Mode::Write, NavigationFile::Mode::Check}) {
        for (const char* name : {"link", "fifo"}) {
            try {
                NavigationFile file(dir / name, mode);
                ADD_FAILURE() << name << " was opened";
            } catch (const FileError& error) {
                EXPECT_EQ(error.path(), dir / name);
                EXPECT_EQ(error.reason(), std::string(name) == "link" ? "it is a symbolic link"
                                                                      : "it is not a regular file");
            }
        }
    }
    EXPECT_EQ(original, readFile(path));
}

TEST_F(NavigationFileTest, MissingFileOrFolderIsNotOpened) {
    const std::string missing = dir / "missing.bin";
    EXPECT_THROW(NavigationFile{missing}, QuorvelError);
    EXPECT_FALSE(test::exists(missing));
    EXPECT_THROW(NavigationFile{dir.path()}, QuorvelError);
}

}  // namespace
}  // namespace quorvel
