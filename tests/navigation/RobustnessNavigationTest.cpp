// Hostile navigation files that the malformed-structure lists of the adjusters' own tests do not
// cover: the largest angle count, a play item of length 0, files nobody may write, and a cut
// between the re-marking writes of a stream.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/NavigationTestSupport.h"
#include "navigation/PlaylistAdjuster.h"
#include "platform/TestOs.h"
#include "support/ImmutableFile.h"

namespace quorvel::test::nav {
namespace {

class RobustnessNavigation : public ::testing::Test {
  protected:
    TempDir dir;
    StepRunner h;
    const std::string mpls = dir / "00000.mpls";
    const std::string clpi = dir / "00000.clpi";
};

TEST_F(RobustnessNavigation, TwoHundredFiftyFiveAnglesInAShortItemAreRefused) {
    const Playlist pl = buildPlaylist({PlayItem{.flags = 0x10, .angles = 255, .length = 80}});
    writeFile(mpls, pl.bytes);

    EXPECT_FALSE(h.playlist(mpls));
    EXPECT_SAME_BYTES(pl.bytes, readFile(mpls));
    EXPECT_EQ(std::vector<std::string>{" - Cannot adjust playlist " + mpls +
                                       ": play item 1 is too short for its stream number table."},
              h.lines());
}

TEST_F(RobustnessNavigation, TwoHundredFiftyFiveAnglesInALongEnoughItemArePatched) {
    const PlayItem item{.flags = 0x10, .angles = 255};
    const Playlist pl = buildPlaylist({item});
    ASSERT_EQ(pl.items[0] + 36 + 10 * 254, pl.tables[0]);
    writeFile(mpls, pl.bytes);

    EXPECT_TRUE(h.playlist(mpls));
    const ByteString after = readFile(mpls);
    EXPECT_EQ(0x24, after[pl.tables[0] + 27]);
    EXPECT_EQ(0x81, after[pl.tables[0] + 28]);
}

TEST_F(RobustnessNavigation, PlayItemOfLengthZeroIsRefused) {
    Playlist pl = buildPlaylist({PlayItem{}});
    put16(pl.bytes, pl.items[0], 0);
    writeFile(mpls, pl.bytes);

    EXPECT_FALSE(h.playlist(mpls));
    EXPECT_SAME_BYTES(pl.bytes, readFile(mpls));
    EXPECT_EQ(" - Cannot adjust playlist " + mpls +
                  ": play item 1 is too short for its flags.",
              h.lines().back());
}

// Files that must not be written: one nobody may write, a link (its target lies outside the
// disc), a FIFO (which must not block the job), a folder. Each adjuster refuses with a line that
// names the file, and nothing anywhere changes.
enum class Hazard { Immutable, LinkOutside, Fifo, Folder };

struct HazardCase {
    const char* name;
    Hazard hazard;
    int adjuster;  // 0 playlist, 1 clip information, 2 index
    const char* reason;
};

class UnwritableNavigationFile : public ::testing::TestWithParam<HazardCase> {};

TEST_P(UnwritableNavigationFile, IsRefusedWithAReasonAndNothingChanges) {
    TempDir dir;
    StepRunner h;
    const std::string mpls = dir / "00000.mpls", clpi = dir / "00000.clpi";
    const std::string index = dir / "index.bdmv", movieObject = dir / "MovieObject.bdmv";
    const std::string outside = dir / "outside.bin";
    writeFile(mpls, buildPlaylist({PlayItem{}}).bytes);
    writeFile(clpi, buildClip({ClipStream{}}).bytes);
    writeFile(index, buildIndex());
    writeFile(movieObject, buildMovieObject());
    const std::string target = std::vector<std::string>{mpls, clpi, index}[GetParam().adjuster];
    const ByteString original = readFile(target);
    writeFile(outside, original);

    std::unique_ptr<ImmutableFile> locked;
    switch (GetParam().hazard) {
        case Hazard::Immutable:
            locked = std::make_unique<ImmutableFile>(target);
            if (!locked->active()) GTEST_SKIP() << "this file system cannot make a file immutable";
            break;
        case Hazard::LinkOutside:
            if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
            std::remove(target.c_str());
            std::filesystem::create_symlink(outside, target);
            break;
        case Hazard::Fifo:
            if (!test::os::fifosAvailable()) GTEST_SKIP() << "no FIFOs on this system";
            std::remove(target.c_str());
            ASSERT_TRUE(test::os::makeFifo(target));
            break;
        case Hazard::Folder:
            std::remove(target.c_str());
            makeDirs(target);
            break;
    }

    bool accepted = true;
    switch (GetParam().adjuster) {
        case 0: accepted = h.playlist(mpls); break;
        case 1: accepted = h.clip(clpi); break;
        default: accepted = h.bdmv(index, movieObject); break;
    }
    EXPECT_FALSE(accepted);
    EXPECT_EQ(0u, h.lines().back().rfind(" - Cannot adjust ", 0)) << h.lines().back();
    EXPECT_NE(std::string::npos, h.lines().back().find(target + ": " + GetParam().reason))
        << h.lines().back();
    EXPECT_SAME_BYTES(original, readFile(outside));
    if (GetParam().hazard == Hazard::Immutable) {
        EXPECT_SAME_BYTES(original, readFile(target));
    }
    EXPECT_SAME_BYTES(buildMovieObject(), readFile(movieObject));
}

INSTANTIATE_TEST_SUITE_P(
    Hazards, UnwritableNavigationFile,
    ::testing::Values(
        HazardCase{"ImmutablePlaylist", Hazard::Immutable, 0, "cannot open it for reading and writing"},
        HazardCase{"ImmutableClip", Hazard::Immutable, 1, "cannot open it for reading and writing"},
        HazardCase{"ImmutableIndex", Hazard::Immutable, 2, "cannot open it for reading and writing"},
        HazardCase{"LinkedPlaylist", Hazard::LinkOutside, 0, "it is a symbolic link"},
        HazardCase{"LinkedClip", Hazard::LinkOutside, 1, "it is a symbolic link"},
        HazardCase{"LinkedIndex", Hazard::LinkOutside, 2, "it is a symbolic link"},
        HazardCase{"FifoPlaylist", Hazard::Fifo, 0, "it is not a regular file"},
        HazardCase{"FifoClip", Hazard::Fifo, 1, "it is not a regular file"},
        HazardCase{"FolderIndex", Hazard::Folder, 2, "it is not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

// The states a process cut can leave between the writes of one stream's re-marking: each must be
// completed by a rerun to exactly the bytes of an uninterrupted run.
TEST_F(RobustnessNavigation, RerunCompletesAStreamCutBetweenItsWrites) {
    const Playlist pl = buildPlaylist({PlayItem{}});
    writeFile(mpls, pl.bytes);
    ASSERT_TRUE(h.playlist(mpls));
    const ByteString playlistDone = readFile(mpls);

    const Clip clip = buildClip({ClipStream{.pid = 0x1100, .codingType = 0x81}, ClipStream{}});
    writeFile(clpi, clip.bytes);
    ASSERT_TRUE(h.clip(clpi));
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
        EXPECT_TRUE(h.playlist(mpls));
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
        EXPECT_TRUE(h.clip(clpi));
        EXPECT_SAME_BYTES(clipDone, readFile(clpi));
    }
}

}  // namespace
}  // namespace quorvel::test::nav
