// A whole job through the driver with the real navigation adjusters: the log of the navigation
// steps and the refreshed BACKUP duplicates.

#include <gtest/gtest.h>

#include "support/JobListing.h"

#include <memory>

#include "app/Quorvel.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/NavigationTestSupport.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel::test::nav {
namespace {

// The scan hands over an HDR10 source (1000 / 0.0050 / 1000 / 400) without running the
// analyser; the stream step succeeds silently; the navigation steps are the real ones.
class NavigationOnlySteps final : public JobSteps {
  public:
    bool GetMediaInfo(JobContext& ctx, const std::string&) override {
        ctx.state.uhdExtensionData = uhdExtension(true, 1000, 50, 1000, 400);
        ctx.state.mediaTracks = {MediaTrack{}, MediaTrack{}};
        ctx.state.mediaTracks[1].isHdr = true;
        ctx.state.mediaTrackCount = 1;
        ctx.state.videoTrackIndex = 1;
        return true;
    }
    bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) override {
        return quorvel::UHD_Adjust_MPLS(ctx, mpls);
    }
    bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi) override {
        return quorvel::UHD_Adjust_CLPI(ctx, clpi);
    }
    bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                         const std::string& movieobject) override {
        return quorvel::UHD_Adjust_BDMV(ctx, index, movieobject);
    }
    bool UHD_Adjust_M2TS(JobContext&, const std::string&) override { return true; }
};

TEST(NavigationJob, LogsTheNavigationStepsAndRefreshesEveryBackup) {
    const std::string fixture = fixturePath("a-2160p-hdr10-ac3");
    if (fixture.empty()) GTEST_SKIP() << "fixture not present";
    TempDir dir;
    copyTree(fixture + "/BDMV", dir / "BDMV");
    const ByteString originalPlaylist = readFile(dir / "BDMV/PLAYLIST/00000.mpls");

    RecordingWindow window;
    window.source = dir.path();
    Quorvel app(window, std::make_unique<NavigationOnlySteps>());
    app.Command1_Click();

    using test::operator+;
    const std::vector<std::string> expected =
        std::vector<std::string>{"========Job Started========"} + test::firstJobNavigationLines() +
        std::vector<std::string>{"[ts] QUORVEL - SUCCESS", "=========Job Ended========="};
    EXPECT_EQ(expected, maskTimes(window.lines()));
    EXPECT_EQ(JobOutcome::Succeeded, app.lastOutcome());

    for (const char* file :
         {"index.bdmv", "MovieObject.bdmv", "PLAYLIST/00000.mpls", "CLIPINF/00000.clpi"}) {
        SCOPED_TRACE(file);
        const ByteString primary = readFile(dir / (std::string("BDMV/") + file));
        EXPECT_SAME_BYTES(primary, readFile(dir / (std::string("BDMV/BACKUP/") + file)));
    }
    const ByteString playlist = readFile(dir / "BDMV/PLAYLIST/00000.mpls");
    ASSERT_EQ(originalPlaylist.size() + 60, playlist.size());
    const ByteString tail(playlist.end() - 8, playlist.end());
    EXPECT_SAME_BYTES(ByteString({0x03, 0xE8, 0x00, 0x32, 0x03, 0xE8, 0x01, 0x90}), tail);
}

}  // namespace
}  // namespace quorvel::test::nav
