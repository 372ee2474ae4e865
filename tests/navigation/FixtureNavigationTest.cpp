// The three navigation adjusters on copies of real muxer output.

#include <gtest/gtest.h>

#include "support/JobListing.h"

#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/NavigationTestSupport.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel::test::nav {
namespace {

// Both fixtures put the video stream table at S = 0x66 and the video stream entry at E = 0x106.
constexpr std::size_t kFixtureStreamTable = 0x66;
constexpr std::size_t kFixtureVideoEntry = 0x106;

class FixtureNavigation : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        const std::string fixture = fixturePath(GetParam());
        if (fixture.empty()) GTEST_SKIP() << "fixture " << GetParam() << " not present";
        copyTree(fixture + "/BDMV", dir / "BDMV");
        originalPlaylist = readFile(playlist());
        originalClip = readFile(clip());
        originalIndex = readFile(index());
        originalMovieObject = readFile(movieObject());
    }

    std::string playlist() const { return dir / "BDMV/PLAYLIST/00000.mpls"; }
    std::string clip() const { return dir / "BDMV/CLIPINF/00000.clpi"; }
    std::string index() const { return dir / "BDMV/index.bdmv"; }
    std::string movieObject() const { return dir / "BDMV/MovieObject.bdmv"; }

    TempDir dir;
    StepRunner h;
    ByteString originalPlaylist, originalClip, originalIndex, originalMovieObject;
};

TEST_P(FixtureNavigation, FirstRunPatchesExactlyTheDocumentedBytes) {
    ASSERT_TRUE(h.playlist(playlist()));
    ASSERT_TRUE(h.clip(clip()));
    ASSERT_TRUE(h.bdmv(index(), movieObject()));

    ByteString playlistWanted = originalPlaylist;
    putAt(playlistWanted, 0, asciiBytes("MPLS0300"));
    playlistWanted[kFixtureStreamTable + 27] = 0x24;
    playlistWanted[kFixtureStreamTable + 28] = 0x81;
    put32(playlistWanted, 16, static_cast<std::uint32_t>(originalPlaylist.size()));
    append(playlistWanted, h.extension);
    EXPECT_SAME_BYTES(playlistWanted, readFile(playlist()));

    ByteString clipWanted = originalClip;
    putAt(clipWanted, 0, asciiBytes("HDMV0300"));
    clipWanted[kFixtureVideoEntry + 3] = 0x24;
    clipWanted[kFixtureVideoEntry + 4] = 0x81;
    clipWanted[kFixtureVideoEntry + 6] = 0x12;
    EXPECT_SAME_BYTES(clipWanted, readFile(clip()));

    ByteString indexWanted = originalIndex;
    putAt(indexWanted, 0, asciiBytes("INDX0300"));
    put32(indexWanted, 12, static_cast<std::uint32_t>(originalIndex.size()));
    append(indexWanted, uhdIndexBlock());
    EXPECT_SAME_BYTES(indexWanted, readFile(index()));
    EXPECT_EQ(originalIndex.size() + 36, readFile(index()).size());

    ByteString movieObjectWanted = originalMovieObject;
    putAt(movieObjectWanted, 0, asciiBytes("MOBJ0300"));
    EXPECT_SAME_BYTES(movieObjectWanted, readFile(movieObject()));

    // The job's listing without the headings, which the job logs itself.
    std::vector<std::string> wanted = test::firstJobNavigationLines();
    std::erase_if(wanted, [](const std::string& line) { return line.starts_with("[ts]"); });
    EXPECT_EQ(wanted, h.lines());
}

TEST_P(FixtureNavigation, SecondRunChangesNoByteAndReportsTheMarking) {
    ASSERT_TRUE(h.playlist(playlist()));
    ASSERT_TRUE(h.clip(clip()));
    ASSERT_TRUE(h.bdmv(index(), movieObject()));
    const ByteString playlistOnce = readFile(playlist());
    const ByteString clipOnce = readFile(clip());
    const ByteString indexOnce = readFile(index());
    const ByteString movieObjectOnce = readFile(movieObject());
    h.clearLog();

    EXPECT_TRUE(h.playlist(playlist()));
    EXPECT_TRUE(h.clip(clip()));
    EXPECT_TRUE(h.bdmv(index(), movieObject()));
    EXPECT_SAME_BYTES(playlistOnce, readFile(playlist()));
    EXPECT_SAME_BYTES(clipOnce, readFile(clip()));
    EXPECT_SAME_BYTES(indexOnce, readFile(index()));
    EXPECT_SAME_BYTES(movieObjectOnce, readFile(movieObject()));

    const std::vector<std::string> expected = {
        " - Found UHD-BD marked HEVC stream...",
        " - HEVC stream previously marked as 2160p UHD.",
        " - HEVC stream previously marked as 2160p UHD.",
        " - Checked/Updated version in Index file...",
        " - Checked/Updated version in MovieObject file...",
    };
    EXPECT_EQ(expected, h.lines());
}

TEST_P(FixtureNavigation, NonHdrSourceGetsSdrRangeAndTheNonHdrBlock) {
    h.setHdr(false);
    ASSERT_TRUE(h.playlist(playlist()));
    ASSERT_TRUE(h.clip(clip()));

    const ByteString playlistAfter = readFile(playlist());
    ASSERT_EQ(originalPlaylist.size() + 60, playlistAfter.size());
    EXPECT_SAME_BYTES(uhdExtension(false),
                      ByteString(playlistAfter.end() - 60, playlistAfter.end()));
    EXPECT_EQ(0x01, readFile(clip())[kFixtureVideoEntry + 6]);
}

INSTANTIATE_TEST_SUITE_P(RealMuxerOutput, FixtureNavigation,
                         ::testing::Values("a-2160p-hdr10-ac3", "c-1080p-sdr"),
                         [](const auto& info) {
                             return std::string(info.param[0] == 'a' ? "HdrWithAudio"
                                                                     : "SdrVideoOnly");
                         });

}  // namespace
}  // namespace quorvel::test::nav
