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
    ASSERT_EQ(state.mediaTrackCount, 3);
    ASSERT_EQ(state.mediaTracks.size(), 4u);
    EXPECT_EQ(state.videoTrackIndex, 2);
    EXPECT_EQ(state.mediaTracks[1].trackId, 1);
    EXPECT_EQ(state.mediaTracks[1].formatLabel, "");

    const MediaTrack& video = state.mediaTracks[2];
    EXPECT_EQ(video.trackId, 4113);
    EXPECT_EQ(video.formatLabel, "H.265");
    EXPECT_EQ(video.codecId, "6");
    EXPECT_EQ(video.width, 3840);
    EXPECT_EQ(video.height, 2160);
    EXPECT_TRUE(video.is2160);
    EXPECT_TRUE(video.isHdr);
    EXPECT_EQ(video.maxLuminance, 1000);
    EXPECT_EQ(video.minLuminance, 50);
    EXPECT_EQ(video.maxCll, 1000);
    EXPECT_EQ(video.maxFall, 400);
    EXPECT_EQ(video.frameRate, "23.976");
    EXPECT_EQ(video.bitRate, "3158");
    EXPECT_EQ(video.durationSeconds, 1);
    EXPECT_EQ(video.displayAspectRatio, "16:9");
    EXPECT_EQ(video.language, "und");

    const MediaTrack& audio = state.mediaTracks[3];
    EXPECT_EQ(audio.trackId, 4352);
    EXPECT_EQ(audio.formatLabel, "AC3");
    EXPECT_EQ(audio.channels, 6);
    EXPECT_EQ(audio.samplingRate, "48");
    EXPECT_EQ(audio.bitRate, "448");
    EXPECT_FALSE(audio.isHdr);
}

TEST(MediaInfoParserReal, SdrReportHasNoHdrAndIsNot2160) {
    const std::string report = fixtureReport("c-1080p-sdr");
    if (report.empty()) GTEST_SKIP() << "fixture c absent";
    const test::ParsedReport state = parseReport(report);

    ASSERT_EQ(state.videoTrackIndex, 2);
    const MediaTrack& video = state.mediaTracks[2];
    EXPECT_EQ(video.formatLabel, "H.265");
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
        EXPECT_EQ(lf.mediaTracks, crlf.mediaTracks) << fixture;
        EXPECT_EQ(lf.mediaTrackCount, crlf.mediaTrackCount) << fixture;
        EXPECT_EQ(lf.videoTrackIndex, crlf.videoTrackIndex) << fixture;
    }
}

// --- synthetic reports ------------------------------------------------------------------------

TEST(MediaInfoParserReport, GeneralWithoutIdLeavesItsFieldsInRecordZero) {
    const std::string report =
        "General\n" + field("Duration", "52 mn 3 s") + "\nVideo\n" + field("ID", "4113 (0x1011)") +
        field("Codec ID", "36") + field("Width", "3 840 pixels") + field("Height", "2 160 pixels") +
        field("Mastering display color primaries", "BT.2020") +
        field("Mastering display luminance", "min: 0.0050 cd/m2, max: 1000 cd/m2") +
        field("Maximum Content Light Level", "1000 cd/m2") + "\nAudio\n" +
        field("ID", "4352 (0x1100)") + "\nAudio\n" + field("ID", "4353 (0x1101)") + "\n";
    const test::ParsedReport state = parseReport(report);
    ASSERT_EQ(state.mediaTrackCount, 3);
    EXPECT_EQ(state.videoTrackIndex, 1);
    EXPECT_EQ(state.mediaTracks[0].durationSeconds, 3123);
    EXPECT_EQ(state.mediaTracks[0].language, "");
    const MediaTrack& video = state.mediaTracks[1];
    EXPECT_EQ(video.trackId, 4113);
    EXPECT_EQ(video.formatLabel, "H.265");
    EXPECT_EQ(video.width, 3840);
    EXPECT_EQ(video.height, 2160);
    EXPECT_TRUE(video.is2160);
    EXPECT_TRUE(video.isHdr);
    EXPECT_EQ(state.mediaTracks[3].trackId, 4353);
}

TEST(MediaInfoParserReport, CodecTable) {
    struct Case {
        const char* codecId;
        const char* label;
        const char* storedId;
        bool video;
    };
    const Case cases[] = {
        {"v_mpegh/iso/hevc", "H.265", "V_MPEGH/ISO/HEVC", true},
        {"27", "H.264", "27", true},
        {"V_MS/VFW/FOURCC / WVC1", "VC-1", "V_MS/VFW/WVC1", true},
        {"2", "MPEG-2", "V_MPEG-2", true},
        {"V_MPEG1", "H.264", "V_MPEG1", true},
        {"A_EAC3", "AC3", "A_EAC3", false},
        {"132", "AC3", "132", false},
        {"A_TRUEHD", "", "A_TRUEHD", false},
        {"131", "", "131", false},
        {"134", "UNK", "134", false},
        {"a_pcm/int/lit", "WAV", "A_LPCM", false},
        {"144", "PGS", "144", false},
    };
    for (const Case& c : cases) {
        const test::ParsedReport state = parseReport(field("ID", "7") + field("Codec ID", c.codecId));
        const MediaTrack& track = state.mediaTracks[1];
        EXPECT_EQ(track.formatLabel, c.label) << c.codecId;
        EXPECT_EQ(track.codecId, c.storedId) << c.codecId;
        EXPECT_EQ(state.videoTrackIndex, c.video ? 1 : 0) << c.codecId;
        EXPECT_EQ(state.videoTrackFound, c.video) << c.codecId;
    }
}

TEST(MediaInfoParserReport, TrueHdKeepsAnEarlierLabelAndKeysAreCaseSensitive) {
    const test::ParsedReport state = parseReport(field("ID", "1") + field("Codec ID", "129") +
                                          field("Codec ID", "131") + field("codec ID", "27"));
    EXPECT_EQ(state.mediaTracks[1].formatLabel, "AC3");
    EXPECT_EQ(state.mediaTracks[1].codecId, "131");
    EXPECT_EQ(state.videoTrackIndex, 0);
}

TEST(MediaInfoParserReport, FirstOfTwoVideoTracksIsChosen) {
    const test::ParsedReport state =
        parseReport(field("ID", "1") + field("Codec ID", "A_AC3") + field("ID", "2") +
                    field("Codec ID", "27") + field("ID", "3") + field("Codec ID", "36") +
                    field("Mastering display color primaries", "Display P3"));
    EXPECT_EQ(state.videoTrackIndex, 2);
    EXPECT_FALSE(state.mediaTracks[2].isHdr);
    EXPECT_TRUE(state.mediaTracks[3].isHdr);
}

TEST(MediaInfoParserReport, FrameRateRules) {
    auto rateOf = [](const std::string& lines) {
        return parseReport(field("ID", "1") + lines).mediaTracks[1].frameRate;
    };
    EXPECT_EQ(rateOf(field("Frame rate", "30.000 FPS")), "29.97");
    EXPECT_EQ(rateOf(field("Frame rate", "24.000 FPS")), "23.976");
    EXPECT_EQ(rateOf(field("Frame rate", "23,976 FPS")), "23.976");
    EXPECT_EQ(rateOf(field("Frame rate", "25.000 FPS")), "25");
    EXPECT_EQ(rateOf(field("Frame rate", "23.976 (24000/1001) FPS")), "23.976");
    EXPECT_EQ(
        rateOf(field("Frame rate", "24.000 FPS") + field("Original frame rate", "30.000 FPS")),
        "29.97");
    // Only "Frame rate" maps 24 to the disc rate.
    EXPECT_EQ(rateOf(field("Original frame rate", "24,000 FPS")), "24");
    EXPECT_EQ(rateOf(field("Frame rate mode", "Constant")), "");
}

TEST(MediaInfoParserReport, AudioNumbersAndTexts) {
    const test::ParsedReport state = parseReport(
        field("ID", "1") + field("Channel(s)", "6 channels") + field("Sampling rate", "48.0 kHz") +
        field("Bit rate", "1 509 kb/s") + field("Language", "English") + field("Forced", "Yes") +
        field("Delay relative to video", "-42 ms") + field("Scan type", "Progressive"));
    const MediaTrack& track = state.mediaTracks[1];
    EXPECT_EQ(track.channels, 6);
    EXPECT_EQ(track.samplingRate, "48");
    EXPECT_EQ(track.bitRate, "1509");
    EXPECT_EQ(track.language, "English");
    EXPECT_TRUE(track.isForced);
    EXPECT_EQ(track.delay, ", timeshift= -42 ms");
    EXPECT_EQ(track.scanType, "Progressive");
}

TEST(MediaInfoParserReport, LuminanceWithoutMaxPartReadsTheMinimumTwice) {
    const MediaTrack track =
        parseReport(field("ID", "1") + field("Mastering display luminance", "min: 0.0050 cd/m2"))
            .mediaTracks[1];
    EXPECT_EQ(track.minLuminance, 50);
    EXPECT_EQ(track.maxLuminance, 0);
    const MediaTrack whole =
        parseReport(field("ID", "1") + field("Mastering display luminance", "min: 2.5 cd/m2"))
            .mediaTracks[1];
    EXPECT_EQ(whole.minLuminance, 25000);
    EXPECT_EQ(whole.maxLuminance, 2);  // 2.5 rounds to the even neighbour
}

TEST(MediaInfoParserReport, Durations) {
    auto secondsOf = [](const char* value) {
        return parseReport(field("ID", "1") + field("Duration", value))
            .mediaTracks[1]
            .durationSeconds;
    };
    EXPECT_EQ(secondsOf("1 h 52 mn"), 6720);
    EXPECT_EQ(secondsOf("52 mn 3 s"), 3123);
    EXPECT_EQ(secondsOf("120 ms"), 120);  // the "s" of "ms" counts as seconds
    EXPECT_EQ(secondsOf("1 s 514 ms"), 1);
    EXPECT_EQ(secondsOf("2 min 5 s"), 2);  // "min" is not minutes
    EXPECT_EQ(secondsOf("1.5 h"), 5400);
    EXPECT_EQ(secondsOf("999999 h"), std::numeric_limits<std::int32_t>::max());
}

TEST(MediaInfoParserReport, ValuesOutOfRangeClampToTheField) {
    const test::ParsedReport state = parseReport(
        field("ID", "70000 (0x11170)") +
        field("Mastering display luminance", "min: 5.0000 cd/m2, max: 40000 cd/m2") +
        field("Maximum Content Light Level", "-99999 cd/m2") +
        field("Maximum Frame-Average Light Level", "1E400 cd/m2") +
        field("Width", "99 999 999 999 pixels") + field("Channel(s)", "-40000 channels"));
    const MediaTrack& track = state.mediaTracks[1];
    EXPECT_EQ(track.trackId, 32767);
    EXPECT_EQ(track.minLuminance, 32767);
    EXPECT_EQ(track.maxLuminance, 32767);
    EXPECT_EQ(track.maxCll, -32768);
    EXPECT_EQ(track.maxFall, 32767);
    EXPECT_EQ(track.width, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(track.channels, -32768);
}

TEST(MediaInfoParserReport, ShortAndOddLinesReadNothingOutsideTheLine) {
    SharedState state;
    for (const char* line :
         {"", "\n", "\r\n", "\r", "W", "Width", "Width\n",
          "Width                                    :",
          "Width                                    : 1",
          "Channel(s)                               : 6",
          "Frame rate                               : 3",
          "Bit rate                                 : 9",
          "Mastering display luminance              : m", "Mastering display luminance",
          "Delay relative to video", "Forced                                   :   ",
          "Duration                                 : h",
          "Duration                                 : mn"}) {
        ParseMediaInfoLine(state, line);
    }
    EXPECT_EQ(state.mediaTrackCount, 0);
    ASSERT_EQ(state.mediaTracks.size(), 1u);
    const MediaTrack& rec = state.mediaTracks[0];
    EXPECT_EQ(rec.width, 0);  // "1" loses its last 7 characters as the unit
    EXPECT_EQ(rec.channels, 0);
    EXPECT_EQ(rec.frameRate, "0");
    EXPECT_EQ(rec.minLuminance, 0);
    EXPECT_EQ(rec.delay, ", timeshift=");
    EXPECT_FALSE(rec.isForced);

    // A bare "ID" (no colon, no value) still opens a record, with ID 0.
    ParseMediaInfoLine(state, "ID\n");
    EXPECT_EQ(state.mediaTrackCount, 1);
    EXPECT_EQ(state.mediaTracks[1].trackId, 0);
}

TEST(MediaInfoParserReport, OnlyTheLineEndIsDropped) {
    // A CR inside the value stays; the CR LF at the end goes.
    const test::ParsedReport state = parseReport(field("ID", "1") + field("Scan type", "MBAFF\r") +
                                          field("Display aspect ratio", "16:9\r"));
    EXPECT_EQ(state.mediaTracks[1].scanType, "MBAFF");
    EXPECT_EQ(state.mediaTracks[1].displayAspectRatio, "16:9");
    SharedState raw;
    ParseMediaInfoLine(raw, field("ID", "1"));
    ParseMediaInfoLine(raw, "Scan type                                : A\rB\n");
    EXPECT_EQ(raw.mediaTracks[1].scanType, "A\rB");
}

TEST(MediaInfoParserReport, RecordsStopGrowingAtTheTrackLimit) {
    SharedState state;
    const std::string id = field("ID", "1");
    for (int i = 0; i < 10000; ++i) ParseMediaInfoLine(state, id);
    EXPECT_EQ(state.mediaTracks.size(), 8193u);
    EXPECT_EQ(state.mediaTrackCount, 8192);
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

TEST(ReportNumbers, Writing) {
    EXPECT_EQ(writeReportNumber(48.0), "48");
    EXPECT_EQ(writeReportNumber(23.976), "23.976");
    EXPECT_EQ(writeReportNumber(1509.0), "1509");
    EXPECT_EQ(writeReportNumber(0.0), "0");
    EXPECT_EQ(writeReportNumber(-0.0), "0");
    EXPECT_EQ(writeReportNumber(0.5), ".5");
    EXPECT_EQ(writeReportNumber(-0.25), "-.25");
    EXPECT_EQ(writeReportNumber(-3.0), "-3");
    EXPECT_EQ(writeReportNumber(1e20), "1E+20");
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
