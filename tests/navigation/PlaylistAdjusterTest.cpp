// The playlist adjuster on synthetic playlists: play item layouts, stream markings, the
// extension guard, malformed structures and a cut between the extension's two writes.

#include <gtest/gtest.h>

#include "navigation/NavigationTestSupport.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel::test::nav {
namespace {

class PlaylistAdjuster : public ::testing::Test {
  protected:
    std::string write(const ByteString& bytes) {
        writeFile(path, bytes);
        return path;
    }

    // The bytes a successful run leaves: markers of the re-marked tables, the version, and
    // (when the header had none) the extension block at the old end.
    ByteString adjusted(const Playlist& pl, const std::vector<std::size_t>& remarkedTables,
                        bool version, bool extension = true) const {
        ByteString b = pl.bytes;
        for (const std::size_t s : remarkedTables) {
            b[s + 27] = 0x24;
            b[s + 28] = static_cast<std::uint8_t>((b[s + 28] & 0x0F) | 0x80);
        }
        if (version) putAt(b, 0, asciiBytes("MPLS0300"));
        if (extension) {
            put32(b, 16, static_cast<std::uint32_t>(pl.bytes.size()));
            append(b, h.extension);
        }
        return b;
    }

    TempDir dir;
    std::string path = dir / "00001.mpls";
    StepRunner h;
};

const std::vector<std::string> kRemarkedLines = {
    " - Found HEVC stream...",
    "   -- Type marker adjusted to UHD-BD HEVC...",
    "   -- Format marker adjusted to 2160p...",
    "   -- Version marker adjusted to be 0300...",
};

TEST_F(PlaylistAdjuster, MultiAngleItemHasItsStreamTableAfterTheAngles) {
    const Playlist pl = buildPlaylist({PlayItem{.flags = 0x11, .angles = 3}});
    ASSERT_EQ(pl.items[0] + 56, pl.tables[0]);

    EXPECT_TRUE(h.playlist(write(pl.bytes)));
    EXPECT_SAME_BYTES(adjusted(pl, {pl.tables[0]}, true), readFile(path));
    EXPECT_EQ(kRemarkedLines, h.lines());
}

TEST_F(PlaylistAdjuster, ChainedItemsAreEachVisitedByTheirLengthFields) {
    // Item 1 of length 0x52 puts item 2 84 bytes after item 1; item 2 has no video stream.
    const Playlist pl = buildPlaylist(
        {PlayItem{.length = 0x52}, PlayItem{.videoStreams = 0}, PlayItem{.format = 0x62}});
    ASSERT_EQ(pl.items[0] + 84, pl.items[1]);

    EXPECT_TRUE(h.playlist(write(pl.bytes)));
    EXPECT_SAME_BYTES(adjusted(pl, {pl.tables[0], pl.tables[2]}, true), readFile(path));
    std::vector<std::string> twice = kRemarkedLines;
    twice.insert(twice.end(), kRemarkedLines.begin(), kRemarkedLines.end());
    EXPECT_EQ(twice, h.lines());
    EXPECT_EQ(0x82, readFile(path)[pl.tables[2] + 28]);  // frame rate code kept
}

TEST_F(PlaylistAdjuster, StreamAlreadyMarkedUhdIsOnlyReportedEvenAt1080p) {
    const Playlist pl = buildPlaylist({PlayItem{.codingType = 0x24, .format = 0x61}});

    EXPECT_TRUE(h.playlist(write(pl.bytes)));
    EXPECT_SAME_BYTES(adjusted(pl, {}, true), readFile(path));
    EXPECT_EQ(std::vector<std::string>({" - Found UHD-BD marked HEVC stream...",
                                        " - HEVC stream previously marked as 1080p."}),
              h.lines());
}

TEST_F(PlaylistAdjuster, ExistingUhdBlockIsKept) {
    const Playlist pl = buildPlaylist({PlayItem{}}, uhdExtension(false));

    EXPECT_TRUE(h.playlist(write(pl.bytes)));
    EXPECT_SAME_BYTES(adjusted(pl, {pl.tables[0]}, true, false), readFile(path));
}

TEST_F(PlaylistAdjuster, ExtensionBlockOfTheWrongSizeIsRefusedBeforeAnyWrite) {
    const Playlist pl = buildPlaylist({PlayItem{}});
    h.extension.resize(59);

    EXPECT_FALSE(h.playlist(write(pl.bytes)));
    EXPECT_SAME_BYTES(pl.bytes, readFile(path));
    EXPECT_EQ(std::vector<std::string>{" - Cannot adjust playlist " + path +
                                       ": the UHD extension block to append is 59 bytes instead "
                                       "of 60."},
              h.lines());
}

TEST_F(PlaylistAdjuster, RerunAfterACutBetweenBlockAndAddressAdoptsTheBlock) {
    const Playlist pl = buildPlaylist({PlayItem{}});
    const ByteString complete = adjusted(pl, {pl.tables[0]}, true);
    // The process died after appending the block, before its address reached the header.
    ByteString cut = complete;
    put32(cut, 16, 0);

    EXPECT_TRUE(h.playlist(write(cut)));
    EXPECT_SAME_BYTES(complete, readFile(path));
}

// A malformed playlist: the file is refused, untouched, with a line saying why.
struct Malformed {
    const char* name;
    ByteString bytes;
    const char* reason;  // part of the refusal line
};

ByteString withPlayListAddress(std::uint32_t address) {
    ByteString b = buildPlaylist({PlayItem{}}).bytes;
    put32(b, 8, address);
    return b;
}

ByteString withItemCount(std::uint16_t count) {
    ByteString b = buildPlaylist({PlayItem{}}).bytes;
    put16(b, kPlayListAddress + 6, count);
    return b;
}

ByteString withFirstItemLength(std::uint16_t length) {
    ByteString b = buildPlaylist({PlayItem{}}).bytes;
    put16(b, kPlayListAddress + 10, length);
    return b;
}

ByteString withClipName(const char* name) {
    ByteString b = buildPlaylist({PlayItem{}}).bytes;
    putAt(b, kPlayListAddress + 12, asciiBytes(name));
    return b;
}

ByteString truncated(std::size_t size) {
    ByteString b = buildPlaylist({PlayItem{}}).bytes;
    b.resize(size);
    return b;
}

std::vector<Malformed> malformedPlaylists() {
    const std::size_t item = kPlayListAddress + 10;
    return {
        {"Empty", {}, "shorter than its 20-byte header"},
        {"TruncatedHeader", truncated(19), "shorter than its 20-byte header"},
        {"PlayListAddressPastEnd", withPlayListAddress(0x1000), "play list address 0x00001000"},
        {"PlayListAddressNegative", withPlayListAddress(0xFFFFFFF0), "play list address"},
        {"PlayListAddressInHeader", withPlayListAddress(4), "play list address 0x00000004"},
        {"PlayListCutShort", truncated(kPlayListAddress + 8), "play list address"},
        {"ItemCountPastEnd", withItemCount(5), "play item 2"},
        {"ItemLengthPastEnd", withFirstItemLength(0x4000), "play item 1"},
        {"ItemLengthWithTopBitSet", withFirstItemLength(0xFFFE), "(65534 bytes at offset"},
        {"ItemCountWithTopBitSet", withItemCount(0x8001), "play item 2"},
        {"ItemTooShortForFlags", withFirstItemLength(8), "too short for its flags"},
        {"ItemTooShortForStreamTable", withFirstItemLength(20), "stream number table"},
        {"ItemTooShortForVideoEntry", withFirstItemLength(34 + 20), "video stream entry"},
        {"TruncatedInsideItem", truncated(item + 40), "runs past the end"},
        {"AngleCountPastItem",
         buildPlaylist({PlayItem{.flags = 0x10, .angles = 200, .length = 80}}).bytes,
         "stream number table"},
        {"MultiAngleWithoutAngles",
         buildPlaylist({PlayItem{.flags = 0x10, .angles = 0, .length = 80}}).bytes,
         "has no angles"},
        {"ClipNameNotDigits", withClipName("0/../"), "names the clip \"0/../\", which is not"},
        // Well-formed, but not a title this conversion is for: nothing is written either, not
        // even the extension block.
        {"NoPlayItems", buildPlaylist({}).bytes, "it has no play items"},
        {"NoVideoStream", buildPlaylist({PlayItem{.videoStreams = 0}}).bytes,
         "no play item has a primary video stream"},
        {"NotHevc", buildPlaylist({PlayItem{}, PlayItem{.codingType = 0x1B}}).bytes,
         "the video stream of play item 2 has coding type 0x1B, not HEVC (0x06)"},
        {"HevcNot1080p", buildPlaylist({PlayItem{.format = 0x41}}).bytes,
         "the video stream of play item 1 is HEVC with the video format code 4, not 1080p (6)"},
    };
}

class MalformedPlaylist : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedPlaylist, IsRefusedAndLeftByteIdentical) {
    TempDir dir;
    StepRunner h;
    const std::string path = dir / "00000.mpls";
    writeFile(path, GetParam().bytes);

    EXPECT_FALSE(h.playlist(path));
    EXPECT_SAME_BYTES(GetParam().bytes, readFile(path));
    const auto lines = h.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind(" - Cannot adjust playlist " + path + ": ", 0)) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(GetParam().reason)) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(Structures, MalformedPlaylist, ::testing::ValuesIn(malformedPlaylists()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel::test::nav
