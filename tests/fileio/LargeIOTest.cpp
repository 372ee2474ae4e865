#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/LargeIO.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

ByteString numbered(std::size_t size) {
    ByteString bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return bytes;
}

TEST(LargeIOOpen, OnlySlotsOneToHundredAndOnlyClosedOnes) {
    TempDir dir;
    test::writeFile(dir / "f", numbered(10));
    LargeFileTable files;
    EXPECT_FALSE(largeOpen(files, dir / "f", 0, kLargeModeRead));
    EXPECT_FALSE(largeOpen(files, dir / "f", 101, kLargeModeRead));
    EXPECT_FALSE(largeOpen(files, dir / "f", -1, kLargeModeRead));
    EXPECT_TRUE(files[0].fileName.empty());

    ASSERT_TRUE(largeOpen(files, dir / "f", 100, kLargeModeRead));
    EXPECT_FALSE(largeOpen(files, dir / "other", 100, kLargeModeReadWrite));
    // The refused open changes nothing: the slot still reads the first file.
    EXPECT_EQ(files[100].fileName, dir / "f");
    ByteString buffer(10);
    EXPECT_EQ(largeReadAt(files, 100, buffer, 0), 10);
    EXPECT_EQ(buffer, numbered(10));
    EXPECT_FALSE(test::exists(dir / "other"));
}

TEST(LargeIOOpen, MissingFileReadModeFailsWriteModesCreateIt) {
    TempDir dir;
    LargeFileTable files;
    EXPECT_FALSE(largeOpen(files, dir / "missing", 1, kLargeModeRead));
    EXPECT_FALSE(test::exists(dir / "missing"));
    EXPECT_EQ(files[1].fileName, dir / "missing");  // kept although the open failed

    ASSERT_TRUE(largeOpen(files, dir / "new2", 1, kLargeModeReadWrite));
    EXPECT_EQ(largeFileSize(files, 1), 0);
    largeClose(files, 1);
    ASSERT_TRUE(largeOpen(files, dir / "new1", 2, kLargeModeWrite));
    EXPECT_TRUE(test::exists(dir / "new1"));
    EXPECT_TRUE(test::readFile(dir / "new2").empty());
}

TEST(LargeIOOpen, ExistingFileThatRefusesAccessIsNeverTruncated) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    TempDir dir;
    test::writeFile(dir / "ro", numbered(50));
    ::chmod((dir / "ro").c_str(), 0444);
    LargeFileTable files;
    EXPECT_FALSE(largeOpen(files, dir / "ro", 1, kLargeModeReadWrite));
    EXPECT_EQ(test::readFile(dir / "ro"), numbered(50));
}

TEST(LargeIOOpen, FolderFifoAndLinksAreNeverOpenedNorCreated) {
    TempDir dir;
    test::writeFile(dir / "target", numbered(20));
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "absent").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    LargeFileTable files;
    for (const char* name : {"", "link", "dangling", "fifo"}) {
        for (const int mode : {kLargeModeRead, kLargeModeWrite, kLargeModeReadWrite}) {
            SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode));
            // A FIFO without a writer or reader would hold a blocking open here for ever.
            EXPECT_FALSE(largeOpen(files, dir / name, 1, mode));
        }
    }
    EXPECT_FALSE(test::exists(dir / "absent"));
    EXPECT_EQ(test::readFile(dir / "target"), numbered(20));
}

TEST(LargeIOUnusableSlot, EveryOperationReportsItsFailureValue) {
    TempDir dir;
    LargeFileTable files;
    ByteString buffer(4, 0xAA);
    for (int slot : {-1, 0, 1, 100, 101}) {
        EXPECT_EQ(largeFileSize(files, slot), -1);
        EXPECT_EQ(largeRead(files, slot, buffer), 0);
        EXPECT_EQ(largeReadAt(files, slot, buffer, 0), 0);
        EXPECT_EQ(largeReadCached(files, slot, buffer, 0), 0);
        EXPECT_EQ(largeWriteAt(files, slot, ByteString{1}, 0), 0);
        EXPECT_TRUE(largeClose(files, slot));
    }
    EXPECT_EQ(buffer, ByteString(4, 0xAA));
}

TEST(LargeIORead, SequentialReadsAndEndOfFile) {
    TempDir dir;
    test::writeFile(dir / "f", numbered(100));
    LargeFileTable files;
    ASSERT_TRUE(largeOpen(files, dir / "f", 1, kLargeModeRead));
    EXPECT_EQ(files[1].position, 0);
    EXPECT_EQ(files[1].windowStart, kLargeEmptyWindowStart);

    ByteString buffer(60);
    EXPECT_EQ(largeRead(files, 1, buffer), 60);
    EXPECT_EQ(largeRead(files, 1, buffer), 40);  // near the end: fewer bytes
    EXPECT_EQ(files[1].position, 100);
    const ByteString expected = [] {
        ByteString all = numbered(100);
        ByteString tail(all.begin() + 60, all.end());
        ByteString kept(all.begin() + 40, all.begin() + 60);  // the rest keeps its content
        tail.insert(tail.end(), kept.begin(), kept.end());
        return tail;
    }();
    EXPECT_EQ(buffer, expected);

    const ByteString before = buffer;
    EXPECT_EQ(largeRead(files, 1, buffer), 0);  // at the end
    EXPECT_EQ(buffer, before);
    ByteString empty;
    EXPECT_EQ(largeReadAt(files, 1, empty, 0), 0);
    EXPECT_EQ(largeReadAt(files, 1, buffer, -5), 0);
}

TEST(LargeIOWrite, WritesAtOffsetsAndExtendsButNotWithEmptyData) {
    TempDir dir;
    test::writeFile(dir / "f", ByteString(10, 0x00));
    LargeFileTable files;
    ASSERT_TRUE(largeOpen(files, dir / "f", 1, kLargeModeReadWrite));
    EXPECT_EQ(largeWriteAt(files, 1, ByteString{}, 3), 0);
    EXPECT_EQ(largeWriteAt(files, 1, ByteString{1, 2}, 3), 2);
    EXPECT_EQ(files[1].position, 5);
    EXPECT_EQ(largeWriteAt(files, 1, ByteString{9}, 12), 1);
    EXPECT_EQ(largeWriteAt(files, 1, ByteString{9}, -1), 0);
    EXPECT_EQ(largeFileSize(files, 1), 13);
    largeClose(files, 1);
    EXPECT_EQ(test::readFile(dir / "f"), (ByteString{0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 9}));

    // A write on a slot opened for reading fails and reports 0.
    ASSERT_TRUE(largeOpen(files, dir / "f", 1, kLargeModeRead));
    EXPECT_EQ(largeWriteAt(files, 1, ByteString{7}, 0), 0);
}

TEST(LargeIOCachedRead, OneSystemReadServesAHundredPackets) {
    TempDir dir;
    const ByteString original = numbered(40000);
    test::writeFile(dir / "f", original);
    LargeFileTable files;
    ASSERT_TRUE(largeOpen(files, dir / "f", 1, kLargeModeReadWrite));

    ByteString packet(192);
    ASSERT_EQ(largeReadCached(files, 1, packet, 0), 192);
    EXPECT_EQ(files[1].windowStart, 0);
    // Change the file behind the window: the packets still inside it must come from the window,
    // which proves that no further system read happened.
    const ByteString changed(40000, 0x55);
    test::writeFile(dir / "f", changed);
    for (std::int64_t offset = 192; offset <= 19008; offset += 192) {
        ASSERT_EQ(largeReadCached(files, 1, packet, offset), 192);
        ASSERT_EQ(packet, ByteString(original.begin() + offset, original.begin() + offset + 192))
            << "offset " << offset;
    }
    EXPECT_EQ(files[1].windowStart, 0);
    // The read at 19,200 starts outside the window and refills it.
    ASSERT_EQ(largeReadCached(files, 1, packet, 19200), 192);
    EXPECT_EQ(files[1].windowStart, 19200);
    EXPECT_EQ(packet, ByteString(192, 0x55));
}

TEST(LargeIOCachedRead, EdgesOfTheWindowAndTheFile) {
    TempDir dir;
    const ByteString original = numbered(1000);
    test::writeFile(dir / "f", original);
    LargeFileTable files;
    ASSERT_TRUE(largeOpen(files, dir / "f", 1, kLargeModeRead));

    // Past the end of the file the window still holds its 0x20 fill.
    ByteString tail(8);
    EXPECT_EQ(largeReadCached(files, 1, tail, 996), 8);
    EXPECT_EQ(tail, (ByteString{original[996], original[997], original[998], original[999], 0x20,
                                0x20, 0x20, 0x20}));
    // A request that would run past the window's end refills instead of reading outside it.
    ByteString big(200);
    EXPECT_EQ(largeReadCached(files, 1, big, 996 + 19100), 200);
    EXPECT_EQ(files[1].windowStart, 996 + 19100);
    EXPECT_EQ(largeReadCached(files, 1, big, -192), 0);

    // A reopen resets position, window and window start.
    largeClose(files, 1);
    EXPECT_EQ(files[1].windowStart, 996 + 19100);  // closing keeps them
    ASSERT_TRUE(largeOpen(files, dir / "f", 1, kLargeModeRead));
    EXPECT_EQ(files[1].windowStart, kLargeEmptyWindowStart);
    EXPECT_EQ(files[1].window, ByteString(kLargeWindowSize, kLargeWindowFill));
}

TEST(LargeIOBigFile, SizesAndOffsetsBeyondFourGigabytes) {
    TempDir dir;
    const std::string path = dir / "sparse";
    constexpr std::int64_t kSize = 5000000000LL;
    constexpr std::int64_t kFar = 4500000000LL;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, kSize), 0);
        ::close(fd);
    }
    LargeFileTable files;
    ASSERT_TRUE(largeOpen(files, path, 7, kLargeModeReadWrite));
    EXPECT_EQ(largeFileSize(files, 7), kSize);
    EXPECT_EQ(largeWriteAt(files, 7, ByteString{0xAB, 0xCD}, kFar), 2);
    ByteString back(4);
    EXPECT_EQ(largeReadAt(files, 7, back, kFar - 1), 4);
    EXPECT_EQ(back, (ByteString{0, 0xAB, 0xCD, 0}));
    EXPECT_EQ(files[7].position, kFar + 3);
    ByteString cached(2);
    EXPECT_EQ(largeReadCached(files, 7, cached, kFar), 2);
    EXPECT_EQ(cached, (ByteString{0xAB, 0xCD}));
    EXPECT_EQ(largeFileSize(files, 7), kSize);
    largeClose(files, 7);
    EXPECT_EQ(largeFileSize(files, 7), -1);
}

}  // namespace
}  // namespace quorvel
