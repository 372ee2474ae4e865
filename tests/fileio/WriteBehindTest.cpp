#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "fileio/StreamFile.h"
#include "fileio/WriteBehind.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

// A file of `size` zero bytes, open for reading and writing.
struct OpenFile {
    TempDir dir;
    std::string path = dir / "stream";
    StreamFile stream;

    explicit OpenFile(std::size_t size) {
        test::writeFile(path, ByteString(size, 0));
        EXPECT_TRUE(stream.open(path, StreamFile::Access::ReadWrite));
    }
};

// Two bytes that say which write this was.
ByteString stamp(std::size_t n) {
    return {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

TEST(WriteBehind, ManyMoreWritesThanTheQueueHoldsLandInTheOrderTheyWereMade) {
    OpenFile file(4096);
    std::vector<std::int64_t> order;
    file.stream.writeFault = [&](std::int64_t offset, std::size_t) {
        order.push_back(offset);
        return false;
    };
    constexpr std::size_t kWrites = WriteBehind::kMaxQueued * 5 + 3;
    std::vector<std::int64_t> expected;
    {
        WriteBehind writer(file.stream);
        for (std::size_t n = 0; n < kWrites; ++n) {
            // Later writes overwrite earlier ones at the same place, so only the right order
            // leaves the last stamp of each place on the file. The places do not touch, so no
            // two writes are made as one.
            const auto offset = static_cast<std::int64_t>((n % 100) * 4);
            const ByteString bytes = stamp(n);
            writer.write(bytes.data(), bytes.size(), offset);
            expected.push_back(offset);
            if (n % 1000 == 0) writer.startWriteBack(0, 4096);
        }
        writer.finish();
        EXPECT_EQ(writer.failedAt(), WriteBehind::kNoFailure);
    }
    EXPECT_EQ(order, expected);
    const ByteString after = test::readFile(file.path);
    ASSERT_EQ(after.size(), 4096u) << "the file never grows";
    for (std::size_t place = 0; place < 100; ++place) {
        const std::size_t last = (kWrites - 1) / 100 * 100 + place;
        const std::size_t n = last < kWrites ? last : last - 100;
        EXPECT_EQ(ByteString(after.begin() + place * 4, after.begin() + place * 4 + 2), stamp(n))
            << "place " << place;
    }
}

TEST(WriteBehind, NothingQueuedBehindAFailedWriteLands) {
    OpenFile file(1024);
    std::size_t tries = 0;
    file.stream.writeFault = [&](std::int64_t, std::size_t) { return ++tries == 3; };
    WriteBehind writer(file.stream);
    const ByteString ones(8, 0x11);
    // Eight bytes apart, so that no two writes are made as one.
    for (std::int64_t n = 0; n < 50; ++n) writer.write(ones.data(), ones.size(), n * 16);
    writer.finish();
    EXPECT_EQ(writer.failedAt(), 32) << "the third write, at byte 32";
    EXPECT_EQ(tries, 3u);
    ByteString expected(1024, 0);
    std::fill(expected.begin(), expected.begin() + 8, 0x11);
    std::fill(expected.begin() + 16, expected.begin() + 24, 0x11);
    EXPECT_EQ(test::readFile(file.path), expected);
}

TEST(WriteBehind, AWriteTooLargeToQueueFailsAndStopsTheRest) {
    OpenFile file(1024);
    WriteBehind writer(file.stream);
    const ByteString small(4, 0x22);
    const ByteString large(WriteBehind::kMaxWriteSize + 1, 0x33);
    writer.write(small.data(), small.size(), 0);
    writer.write(large.data(), large.size(), 100);
    writer.write(small.data(), small.size(), 900);
    writer.finish();
    EXPECT_EQ(writer.failedAt(), 100);
    const ByteString after = test::readFile(file.path);
    EXPECT_EQ(after[0], 0x22) << "the write queued before it lands";
    EXPECT_EQ(after[100], 0);
    EXPECT_EQ(after[900], 0);
}

TEST(WriteBehind, EndingWithoutFinishStillCarriesOutEveryQueuedWrite) {
    OpenFile file(8192);
    const ByteString packet(192, 0x47);
    {
        std::optional<WriteBehind> writer;
        writer.emplace(file.stream);
        // Fewer writes than wake a sleeping writer: only the ending hands them over.
        for (std::int64_t n = 0; n < 10; ++n) writer->write(packet.data(), packet.size(), n * 192);
        writer.reset();
    }
    const ByteString after = test::readFile(file.path);
    EXPECT_EQ(ByteString(after.begin(), after.begin() + 1920), ByteString(1920, 0x47));
    EXPECT_EQ(after[1920], 0);
}

TEST(WriteBehind, WritesJoiningInsideOnePageAreMadeAsOneAndLeaveTheSameBytes) {
    struct Piece {
        std::int64_t offset;
        std::size_t size;
    };
    const struct {
        const char* name;
        std::vector<Piece> pieces;  // queued in this order
        std::vector<std::int64_t> madeAt;
    } cases[] = {
        {"TwoPacketsOfASectionEndFirst", {{3000, 192}, {2808, 192}}, {2808}},
        {"ThreeInARow", {{100, 50}, {150, 50}, {50, 50}}, {50}},
        {"PiecesOnBothSidesOfAPageBoundary", {{4096, 100}, {4004, 92}}, {4096, 4004}},
        {"APacketAcrossAPageBoundary", {{4000, 192}, {4192, 192}}, {4000, 4192}},
        {"ApartInOnePage", {{0, 10}, {20, 10}}, {0, 20}},
        {"Overlapping", {{0, 20}, {10, 20}}, {0, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenFile file(3 * 4096);
        std::vector<std::int64_t> madeAt;
        file.stream.writeFault = [&](std::int64_t offset, std::size_t) {
            madeAt.push_back(offset);
            return false;
        };
        ByteString expected(3 * 4096, 0);
        {
            WriteBehind writer(file.stream);
            // Once this write is done the writer sleeps, and the pieces below, fewer than wake
            // it, are handed over together by finish().
            writer.write(expected.data(), 1, 3 * 4096 - 1);
            writer.finish();
            madeAt.clear();
            for (std::size_t n = 0; n < c.pieces.size(); ++n) {
                const ByteString bytes(c.pieces[n].size, static_cast<std::uint8_t>(n + 1));
                writer.write(bytes.data(), bytes.size(), c.pieces[n].offset);
                std::copy(bytes.begin(), bytes.end(), expected.begin() + c.pieces[n].offset);
            }
            writer.finish();
            EXPECT_EQ(writer.failedAt(), WriteBehind::kNoFailure);
        }
        EXPECT_EQ(madeAt, c.madeAt);
        EXPECT_EQ(test::readFile(file.path), expected);
    }
}

TEST(WriteBehind, AWriteBeyondAnEndCutShortBetweenBatchesFailsAndNeverGrowsTheFile) {
    // The first batch lands; then the file is cut short, and the next batch writes at a place
    // far below the old end or just below it.
    constexpr std::int64_t kOldSize = 4 << 20;
    const struct {
        const char* name;
        std::int64_t cutTo;
        std::int64_t secondAt;
        bool fails;
    } cases[] = {
        {"FarBelowTheOldEnd", 1 << 20, 2 << 20, true},
        {"JustBelowTheOldEnd", kOldSize - 192, kOldSize - 192, true},
        {"StillInsideTheCutFile", 1 << 20, (1 << 20) - 192, false},
    };
    const ByteString packet(192, 0x47);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenFile file(kOldSize);
        WriteBehind writer(file.stream);
        writer.write(packet.data(), packet.size(), 0);
        writer.finish();
        std::filesystem::resize_file(file.path, c.cutTo);
        writer.write(packet.data(), packet.size(), c.secondAt);
        writer.finish();
        EXPECT_EQ(writer.failedAt(), c.fails ? c.secondAt : WriteBehind::kNoFailure);
        EXPECT_EQ(writer.failedPastEnd(), c.fails);
        const ByteString after = test::readFile(file.path);
        ASSERT_EQ(after.size(), static_cast<std::size_t>(c.cutTo)) << "the file never grows";
        EXPECT_EQ(after[0], 0x47);
    }
}

}  // namespace
}  // namespace quorvel
