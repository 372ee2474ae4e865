#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "analysis/MediaInfoParser.h"
#include "analysis/ReportBuilder.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::field;
using test::parseReport;

std::string fixtureReport(const std::string& fixture) {
    const std::string folder = test::fixturePath(fixture);
    if (folder.empty()) return {};
    const ByteString bytes = test::readFile(folder + "/mediainfo.txt");
    return std::string(bytes.begin(), bytes.end());
}

// --- the real reports -------------------------------------------------------------------------

TEST(MediaInfoParserReal, HdrReportPutsVideoInRecordTwoWithItsMasteringValues) {
    const std::string report = fixtureReport("a-2160p-hdr10-ac3");
    if (report.empty()) GTEST_SKIP() << "fixture a absent";
    const test::ParsedReport state = parseReport(report);

    // General has its own "ID" line, so video and audio are records 2 and 3.
    ASSERT_EQ(state.trackCount, 3);
    ASSERT_EQ(state.tracks.size(), 4u);
    EXPECT_EQ(state.videoTrackIndex, 2);

    const MediaTrack& video = state.tracks[2];
    EXPECT_EQ(video.width, 3840);
    EXPECT_EQ(video.height, 2160);
    EXPECT_TRUE(video.is2160);
    EXPECT_TRUE(video.isHdr);
    EXPECT_EQ(video.maxLuminance, 1000);
    EXPECT_EQ(video.minLuminance, 50);
    EXPECT_EQ(video.maxCll, 1000);
    EXPECT_EQ(video.maxFall, 400);
    EXPECT_FALSE(state.tracks[3].isHdr);
}

TEST(MediaInfoParserReal, SdrReportHasNoHdrAndIsNot2160) {
    const std::string report = fixtureReport("c-1080p-sdr");
    if (report.empty()) GTEST_SKIP() << "fixture c absent";
    const test::ParsedReport state = parseReport(report);

    ASSERT_EQ(state.videoTrackIndex, 2);
    const MediaTrack& video = state.tracks[2];
    EXPECT_EQ(video.width, 1920);
    EXPECT_EQ(video.height, 1080);
    EXPECT_FALSE(video.is2160);
    EXPECT_FALSE(video.isHdr);
    EXPECT_EQ(video.maxLuminance, 0);
}

TEST(MediaInfoParserReal, LfAndCrLfEndingsGiveIdenticalRecords) {
    for (const char* fixture : {"a-2160p-hdr10-ac3", "c-1080p-sdr"}) {
        const std::string report = fixtureReport(fixture);
        if (report.empty()) GTEST_SKIP() << fixture << " absent";
        const test::ParsedReport lf = parseReport(report);
        const test::ParsedReport crlf = parseReport(test::withCrLf(report));
        EXPECT_EQ(lf.tracks, crlf.tracks) << fixture;
        EXPECT_EQ(lf.trackCount, crlf.trackCount) << fixture;
        EXPECT_EQ(lf.videoTrackIndex, crlf.videoTrackIndex) << fixture;
    }
}

// --- synthetic reports ------------------------------------------------------------------------

TEST(MediaInfoParserReport, GeneralWithoutIdLeavesItsFieldsInRecordZero) {
    const std::string report =
        "General\n" + field("Width", "720 pixels") + "\nVideo\n" + field("ID", "4113 (0x1011)") +
        field("Codec ID", "36") + field("Width", "3 840 pixels") + field("Height", "2 160 pixels") +
        field("Mastering display color primaries", "BT.2020") +
        field("Mastering display luminance", "min: 0.0050 cd/m2, max: 1000 cd/m2") +
        field("Maximum Content Light Level", "1000 cd/m2") + "\nAudio\n" +
        field("ID", "4352 (0x1100)") + "\nAudio\n" + field("ID", "4353 (0x1101)") + "\n";
    const test::ParsedReport state = parseReport(report);
    ASSERT_EQ(state.trackCount, 3);
    EXPECT_EQ(state.videoTrackIndex, 1);
    EXPECT_EQ(state.tracks[0].width, 720);
    const MediaTrack& video = state.tracks[1];
    EXPECT_EQ(video.width, 3840);
    EXPECT_EQ(video.height, 2160);
    EXPECT_TRUE(video.is2160);
    EXPECT_TRUE(video.isHdr);
}

TEST(MediaInfoParserReport, VideoCodecsInAnyCaseNameTheVideoTrack) {
    const struct {
        const char* codecId;
        bool video;
    } cases[] = {
        {"v_mpegh/iso/hevc", true},
        {"27", true},
        {"V_MS/VFW/FOURCC / WVC1", true},
        {"2", true},
        {"V_MPEG1", true},
        {"A_EAC3", false},
        {"131", false},
        {"134", false},
        {"144", false},
    };
    for (const auto& c : cases) {
        const test::ParsedReport state =
            parseReport(field("ID", "7") + field("Codec ID", c.codecId));
        EXPECT_EQ(state.videoTrackIndex, c.video ? 1 : 0) << c.codecId;
        EXPECT_EQ(state.videoTrackFound, c.video) << c.codecId;
    }
    // Keys are case-sensitive.
    EXPECT_EQ(parseReport(field("ID", "1") + field("codec ID", "27")).videoTrackIndex, 0);
}

TEST(MediaInfoParserReport, FirstOfTwoVideoTracksIsChosen) {
    const test::ParsedReport state =
        parseReport(field("ID", "1") + field("Codec ID", "A_AC3") + field("ID", "2") +
                    field("Codec ID", "27") + field("ID", "3") + field("Codec ID", "36") +
                    field("Mastering display color primaries", "Display P3"));
    EXPECT_EQ(state.videoTrackIndex, 2);
    EXPECT_FALSE(state.tracks[2].isHdr);
    EXPECT_TRUE(state.tracks[3].isHdr);
}

TEST(MediaInfoParserReport, LuminanceWithoutMaxPartReadsTheMinimumTwice) {
    const MediaTrack track =
        parseReport(field("ID", "1") + field("Mastering display luminance", "min: 0.0050 cd/m2"))
            .tracks[1];
    EXPECT_EQ(track.minLuminance, 50);
    EXPECT_EQ(track.maxLuminance, 0);
    const MediaTrack whole =
        parseReport(field("ID", "1") + field("Mastering display luminance", "min: 2.5 cd/m2"))
            .tracks[1];
    EXPECT_EQ(whole.minLuminance, 25000);
    EXPECT_EQ(whole.maxLuminance, 2);  // 2.5 rounds to the even neighbour
}

TEST(MediaInfoParserReport, ValuesOutOfRangeClampToTheField) {
    const test::ParsedReport state = parseReport(
        field("ID", "70000 (0x11170)") +
        field("Mastering display luminance", "min: 5.0000 cd/m2, max: 40000 cd/m2") +
        field("Maximum Content Light Level", "-99999 cd/m2") +
        field("Maximum Frame-Average Light Level", "1E400 cd/m2") +
        field("Width", "99 999 999 999 pixels"));
    const MediaTrack& track = state.tracks[1];
    EXPECT_EQ(track.minLuminance, 32767);
    EXPECT_EQ(track.maxLuminance, 32767);
    EXPECT_EQ(track.maxCll, -32768);
    EXPECT_EQ(track.maxFall, 32767);
    EXPECT_EQ(track.width, std::numeric_limits<std::int32_t>::max());
}

TEST(MediaInfoParserReport, ShortAndOddLinesReadNothingOutsideTheLine) {
    MediaInfoReport state;
    for (const char* line :
         {"", "\n", "\r\n", "\r", "W", "Width", "Width\n",
          "Width                                    :",
          "Width                                    : 1",
          "Mastering display luminance              : m", "Mastering display luminance"}) {
        ParseMediaInfoLine(state, line);
    }
    EXPECT_EQ(state.trackCount, 0);
    ASSERT_EQ(state.tracks.size(), 1u);
    const MediaTrack& rec = state.tracks[0];
    EXPECT_EQ(rec.width, 0);  // "1" loses its last 7 characters as the unit
    EXPECT_EQ(rec.minLuminance, 0);

    // A bare "ID" (no colon, no value) still opens a record.
    ParseMediaInfoLine(state, "ID\n");
    EXPECT_EQ(state.trackCount, 1);
}

TEST(MediaInfoParserReport, RecordsStopGrowingAtTheTrackLimit) {
    MediaInfoReport state;
    const std::string id = field("ID", "1");
    for (int i = 0; i < 10000; ++i) ParseMediaInfoLine(state, id);
    EXPECT_EQ(state.tracks.size(), 8193u);
    EXPECT_EQ(state.trackCount, 8192);
}

// --- numbers ----------------------------------------------------------------------------------

TEST(ReportNumbers, Reading) {
    EXPECT_EQ(readReportNumber("3 840"), 3840.0);
    EXPECT_EQ(readReportNumber(" \t1\n2 3x4"), 123.0);
    EXPECT_EQ(readReportNumber("- 1.5e2"), -150.0);
    EXPECT_EQ(readReportNumber("+2D3"), 2000.0);
    EXPECT_EQ(readReportNumber("1E"), 1.0);
    EXPECT_EQ(readReportNumber("1.2.3"), 1.2);
    EXPECT_EQ(readReportNumber(".5"), 0.5);
    EXPECT_EQ(readReportNumber("5."), 5.0);
    EXPECT_EQ(readReportNumber("&H1F"), 31.0);
    EXPECT_EQ(readReportNumber("&o17"), 15.0);
    EXPECT_EQ(readReportNumber("&X1"), 0.0);
    EXPECT_EQ(readReportNumber("abc"), 0.0);
    EXPECT_EQ(readReportNumber(""), 0.0);
    EXPECT_EQ(readReportNumber("-"), 0.0);
    EXPECT_EQ(readReportNumber("1,5"), 1.0);
    EXPECT_EQ(readReportNumber("1E99999"), std::numeric_limits<double>::max());
    EXPECT_EQ(readReportNumber("-1E400"), -std::numeric_limits<double>::max());
    EXPECT_EQ(readReportNumber("1E-99999"), 0.0);
    EXPECT_EQ(readReportNumber(std::string(400, '9')), std::numeric_limits<double>::max());
}

TEST(ReportNumbers, RoundingHalvesToEvenAndClamps) {
    EXPECT_EQ(roundHalfEvenClamped(0.5, -10, 10), 0);
    EXPECT_EQ(roundHalfEvenClamped(1.5, -10, 10), 2);
    EXPECT_EQ(roundHalfEvenClamped(2.5, -10, 10), 2);
    EXPECT_EQ(roundHalfEvenClamped(-2.5, -10, 10), -2);
    EXPECT_EQ(roundHalfEvenClamped(-3.5, -10, 10), -4);
    EXPECT_EQ(roundHalfEvenClamped(2.4999, -10, 10), 2);
    EXPECT_EQ(roundHalfEvenClamped(2.5001, -10, 10), 3);
    EXPECT_EQ(roundHalfEvenClamped(10.4, -10, 10), 10);
    EXPECT_EQ(roundHalfEvenClamped(1e300, -10, 10), 10);
    EXPECT_EQ(roundHalfEvenClamped(-1e300, -10, 10), -10);
}

}  // namespace
}  // namespace quorvel
