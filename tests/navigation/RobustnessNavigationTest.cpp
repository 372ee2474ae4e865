// Hostile navigation files that the malformed-structure lists of the adjusters' own tests do not
// cover: the largest angle count, a play item of length 0, files nobody may write, and a cut
// between the re-marking writes of a stream.

#include <gtest/gtest.h>

#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/NavigationTestSupport.h"
#include "navigation/PlaylistAdjuster.h"
#include "support/ImmutableFile.h"

namespace quorvel::test::nav {
namespace {

class RobustnessNavigation : public ::testing::Test {
  protected:
    TempDir dir;
    Harness h;
    const std::string mpls = dir / "00000.mpls";
    const std::string clpi = dir / "00000.clpi";
};

TEST_F(RobustnessNavigation, TwoHundredFiftyFiveAnglesInAShortItemAreRefused) {
    const Playlist pl = buildPlaylist({PlayItem{.flags = 0x10, .angles = 255, .length = 80}});
    writeFile(mpls, pl.bytes);

    EXPECT_FALSE(UHD_Adjust_MPLS(h.ctx, mpls));
    EXPECT_SAME_BYTES(pl.bytes, readFile(mpls));
    ASSERT_EQ(2u, h.lines().size());
    EXPECT_EQ(" - Cannot adjust playlist " + mpls +
                  ": play item 1 is too short for its stream number table. The file was left "
                  "unchanged.",
              h.lines()[1]);
}

TEST_F(RobustnessNavigation, TwoHundredFiftyFiveAnglesInALongEnoughItemArePatched) {
    const PlayItem item{.flags = 0x10, .angles = 255};
    const Playlist pl = buildPlaylist({item});
    ASSERT_EQ(pl.items[0] + 36 + 10 * 254, pl.tables[0]);
    writeFile(mpls, pl.bytes);

    EXPECT_TRUE(UHD_Adjust_MPLS(h.ctx, mpls));
    const ByteString after = readFile(mpls);
    EXPECT_EQ(0x24, after[pl.tables[0] + 27]);
    EXPECT_EQ(0x81, after[pl.tables[0] + 28]);
}

TEST_F(RobustnessNavigation, PlayItemOfLengthZeroIsRefused) {
    Playlist pl = buildPlaylist({PlayItem{}});
    put16(pl.bytes, pl.items[0], 0);
    writeFile(mpls, pl.bytes);

    EXPECT_FALSE(UHD_Adjust_MPLS(h.ctx, mpls));
    EXPECT_SAME_BYTES(pl.bytes, readFile(mpls));
    EXPECT_EQ(" - Cannot adjust playlist " + mpls +
                  ": play item 1 is too short for its flags. The file was left unchanged.",
              h.lines().back());
}

TEST_F(RobustnessNavigation, ImmutablePlaylistRaisesWithThePathAndStaysUnchanged) {
    const Playlist pl = buildPlaylist({PlayItem{}});
    writeFile(mpls, pl.bytes);
    const ImmutableFile locked(mpls);
    if (!locked.active()) GTEST_SKIP() << "the file system here cannot make a file immutable";

    try {
        UHD_Adjust_MPLS(h.ctx, mpls);
        ADD_FAILURE() << "an unwritable playlist must not count as adjusted";
    } catch (const std::exception& error) {
        EXPECT_NE(std::string::npos, std::string(error.what()).find(mpls)) << error.what();
    }
    EXPECT_SAME_BYTES(pl.bytes, readFile(mpls));
}

TEST_F(RobustnessNavigation, ImmutableIndexGivesFalseWithAReason) {
    const std::string index = dir / "index.bdmv";
    const std::string movieObject = dir / "MovieObject.bdmv";
    const ByteString original = buildIndex();
    writeFile(index, original);
    writeFile(movieObject, buildMovieObject());
    const ImmutableFile locked(index);
    if (!locked.active()) GTEST_SKIP() << "the file system here cannot make a file immutable";

    EXPECT_FALSE(UHD_Adjust_BDMV(h.ctx, index, movieObject));
    EXPECT_SAME_BYTES(original, readFile(index));
    EXPECT_EQ(0u, h.lines().back().rfind(" - Cannot adjust index file: ", 0)) << h.lines().back();
}

// The states a process cut can leave between the writes of one stream's re-marking: each must be
// completed by a rerun to exactly the bytes of an uninterrupted run.
TEST_F(RobustnessNavigation, RerunCompletesAStreamCutBetweenItsWrites) {
    const Playlist pl = buildPlaylist({PlayItem{}});
    writeFile(mpls, pl.bytes);
    ASSERT_TRUE(UHD_Adjust_MPLS(h.ctx, mpls));
    const ByteString playlistDone = readFile(mpls);

    const Clip clip = buildClip({ClipStream{.pid = 0x1100, .codingType = 0x81}, ClipStream{}});
    writeFile(clpi, clip.bytes);
    ASSERT_TRUE(UHD_Adjust_CLPI(h.ctx, clpi));
    const ByteString clipDone = readFile(clpi);

    // Playlist: the marker or the extension not yet written.
    const std::size_t s = pl.tables[0];
    for (int stage = 0; stage < 3; ++stage) {
        ByteString cut = pl.bytes;
        cut[s + 27] = playlistDone[s + 27];
        cut[s + 28] = playlistDone[s + 28];
        if (stage >= 1) putAt(cut, 0, asciiBytes("MPLS0300"));
        if (stage >= 2) append(cut, ByteString(playlistDone.begin() + pl.bytes.size(),
                                               playlistDone.end()));
        writeFile(mpls, cut);
        EXPECT_TRUE(UHD_Adjust_MPLS(h.ctx, mpls));
        EXPECT_SAME_BYTES(playlistDone, readFile(mpls));
    }

    // Clip: the range byte alone, then type and format, then the marker.
    const std::size_t e = clip.entries[1];
    for (int stage = 0; stage < 3; ++stage) {
        ByteString cut = clip.bytes;
        cut[e + 6] = clipDone[e + 6];
        if (stage >= 1) {
            cut[e + 3] = clipDone[e + 3];
            cut[e + 4] = clipDone[e + 4];
        }
        if (stage >= 2) putAt(cut, 0, asciiBytes("HDMV0300"));
        writeFile(clpi, cut);
        EXPECT_TRUE(UHD_Adjust_CLPI(h.ctx, clpi));
        EXPECT_SAME_BYTES(clipDone, readFile(clpi));
    }
}

}  // namespace
}  // namespace quorvel::test::nav
