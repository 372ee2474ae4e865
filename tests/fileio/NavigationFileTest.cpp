// The navigation file slot: positioned big-endian access, appends, and refusals at the bounds.

#include <gtest/gtest.h>

#include <filesystem>

#include "fileio/NavigationFile.h"
#include "platform/TestOs.h"
#include "shared/QuorvelError.h"
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

// Both modes keep the same account of the changes and read back what they wrote; only a Write
// reaches the file.
TEST_F(NavigationFileTest, EachModeRecordsTheSameChangesAndOnlyAWriteReachesTheFile) {
    const long long before = test::modificationTime(path);
    for (const auto mode : {NavigationFile::Mode::Check, NavigationFile::Mode::Write}) {
        const bool writes = mode == NavigationFile::Mode::Write;
        SCOPED_TRACE(writes ? "write" : "check");
        {
            NavigationFile file(path, mode);
            file.putBytes(0, asciiBytes("AB"), {{"version", 2}});
            file.putBytes(0, asciiBytes("AC"), {{"version", 2}});  // the last write wins
            file.putBE32(8, 0x3A, "address");                      // the value it had: no change
            file.putBytes(file.length(), {7, 8}, {{"block", 2}});
            file.flush();
            EXPECT_EQ(14, file.length());
            EXPECT_EQ('C', file.getByte(1));
            EXPECT_EQ((FieldChanges{{path, "version", 0, {0x4D, 0x50}, asciiBytes("AC")},
                                    {path, "block", 12, {}, {7, 8}}}),
                      file.changes());
            EXPECT_EQ("", file.writeProblem());
        }
        ByteString wanted = original;
        if (writes) {
            wanted[0] = 'A';
            wanted[1] = 'C';
            wanted.insert(wanted.end(), {7, 8});
        }
        EXPECT_EQ(wanted, readFile(path));
        if (!writes) {
            EXPECT_EQ(before, test::modificationTime(path));
        }
    }
}

TEST_F(NavigationFileTest, AFileLargerThanAnyNavigationFileIsRefusedInEitherMode) {
    const std::string big = dir / "big.bin";
    writeFile(big, {});
    std::filesystem::resize_file(big, NavigationFile::kMaxCheckedSize + 1);
    for (const auto mode : {NavigationFile::Mode::Write, NavigationFile::Mode::Check}) {
        try {
            NavigationFile file(big, mode);
            ADD_FAILURE() << "a file of " << file.length() << " bytes was opened";
        } catch (const FileError& error) {
            EXPECT_NE(error.reason().find("far larger than any navigation file"),
                      std::string::npos)
                << error.reason();
        }
    }
}

TEST_F(NavigationFileTest, AFailedAppendIsCutBackToTheOldLength) {
    // A file-size limit makes the append fail the way a full disk does.
    if (!test::os::fileSizeLimitAvailable()) GTEST_SKIP() << "no file-size limit on this system";
    {
        NavigationFile file(path);
        test::os::FileSizeLimit limit(14);
        ASSERT_TRUE(limit.applied());
        EXPECT_THROW(file.putBytes(file.length(), ByteString(16, 0xAA)), FileError);
        limit.lift();
    }
    EXPECT_EQ(original, readFile(path));
}

TEST_F(NavigationFileTest, LinksFifosAndFoldersAreNeverOpened) {
    if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
    if (!test::os::fifosAvailable()) GTEST_SKIP() << "no FIFOs on this system";
    std::filesystem::create_symlink(path, dir / "link");
    ASSERT_TRUE(test::os::makeFifo(dir / "fifo"));
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
