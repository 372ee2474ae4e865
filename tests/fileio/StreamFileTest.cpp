#include <gtest/gtest.h>

#include <filesystem>

#include "fileio/FileSystem.h"
#include "fileio/StreamFile.h"
#include "platform/TestOs.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

// Writes inside the file land; a write that would reach past its end, one refused by the
// system, an empty one and one at a negative offset write nothing.
TEST(StreamFileWrite, OnlyWritesInsideTheFileLand) {
    TempDir dir;
    test::writeFile(dir / "f", ByteString(10, 0x00));
    StreamFile file;
    ASSERT_TRUE(file.open(dir / "f", StreamFile::Access::ReadWrite));
    const ByteString two{1, 2};
    const struct {
        const char* name;
        std::int64_t offset;
        std::size_t size;
        std::int64_t written;
    } cases[] = {
        {"inside", 3, 2, 2},
        {"up to the end", 8, 2, 2},
        {"across the end", 9, 2, StreamFile::kPastEnd},
        {"behind the end", 12, 1, StreamFile::kPastEnd},
        {"nothing", 3, 0, 0},
        {"negative offset", -1, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(file.writeInside(two.data(), c.size, c.offset), c.written);
    }
    EXPECT_EQ(file.size(), 10);
    EXPECT_EQ(test::readFile(dir / "f"), (ByteString{0, 0, 0, 1, 2, 0, 0, 0, 1, 2}));

    StreamFile readOnly;
    ASSERT_TRUE(readOnly.open(dir / "f", StreamFile::Access::Read));
    EXPECT_EQ(readOnly.writeInside(two.data(), 2, 0), 0);
    EXPECT_EQ(test::readFile(dir / "f"), (ByteString{0, 0, 0, 1, 2, 0, 0, 0, 1, 2}));
}

TEST(StreamFileBigFile, SizesAndOffsetsBeyondFourGigabytes) {
    TempDir dir;
    const std::string path = dir / "sparse";
    constexpr std::int64_t kSize = 5000000000LL;
    constexpr std::int64_t kFar = 4500000000LL;
    test::writeFile(path, {});
    std::filesystem::resize_file(path, kSize);
    StreamFile file;
    ASSERT_TRUE(file.open(path, StreamFile::Access::ReadWrite));
    EXPECT_EQ(file.size(), kSize);
    const ByteString bytes{0xAB, 0xCD};
    EXPECT_EQ(file.writeInside(bytes.data(), bytes.size(), kFar), 2);
    EXPECT_EQ(file.writeInside(bytes.data(), bytes.size(), kSize - 1), StreamFile::kPastEnd);
    ByteString back(4);
    EXPECT_EQ(file.handle().readAt(back.data(), back.size(), kFar - 1).done, 4u);
    EXPECT_EQ(back, (ByteString{0, 0xAB, 0xCD, 0}));
    // Near the end fewer bytes come back, without an error.
    const platform::Transfer tail = file.handle().readAt(back.data(), back.size(), kSize - 1);
    EXPECT_EQ(tail.done, 1u);
    EXPECT_EQ(tail.reason, "");
    EXPECT_EQ(file.size(), kSize);
}

}  // namespace
}  // namespace quorvel
