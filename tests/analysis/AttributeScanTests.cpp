#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "analysis/AttributeScan.h"
#include "analysis/ReportBuilder.h"
#include "fileio/FileSystem.h"
#include "platform/ProgramLocation.h"
#include "platform/TestOs.h"
#include "support/StepControls.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::field;

const ByteString kFixedHeader = {
    0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01,
    0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x24,
    0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
};
const ByteString kP3D65Primaries = {0x33, 0xC2, 0x86, 0xC4, 0x1D, 0x4C, 0x0B, 0xB8,
                                    0x84, 0xD0, 0x3E, 0x80, 0x3D, 0x13, 0x40, 0x42};

ByteString concat(std::initializer_list<ByteString> parts) {
    ByteString all;
    for (const ByteString& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

ByteString slice(const ByteString& bytes, std::size_t from, std::size_t count) {
    return ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TEST(UhdExtensionData, NonHdrFormIsTheHeaderAndZeros) {
    MediaTrack track;
    track.maxLuminance = 1000;  // ignored without the HDR flag
    const ByteString expected = concat({kFixedHeader, ByteString(24, 0x00)});
    const ByteString block = buildUhdExtensionData(track);
    EXPECT_EQ(block, expected) << test::describeFirstDifference(expected, block);
}

TEST(UhdExtensionData, HdrFormCarriesFixedPrimariesAndTheTrackLevels) {
    MediaTrack track;
    track.isHdr = true;
    track.maxLuminance = 1000;
    track.minLuminance = 50;
    track.maxCll = 32767;
    track.maxFall = -2;  // a signed value keeps its bit pattern
    const ByteString expected =
        concat({kFixedHeader, kP3D65Primaries, {0x03, 0xE8, 0x00, 0x32, 0x7F, 0xFF, 0xFF, 0xFE}});
    const ByteString block = buildUhdExtensionData(track);
    ASSERT_EQ(block.size(), kUhdExtensionDataSize);
    EXPECT_EQ(block, expected) << test::describeFirstDifference(expected, block);
}

// The scan over a copy of a fixture (or an empty disc folder), with a scripted stop token.
struct ScanHarness {
    test::ScriptedControl control;
    std::string analyser;
    test::TempDir dir;
    ScanResult last;

    std::string streamFolder() const { return dir / "disc/BDMV/STREAM"; }
    // The last scan's lines; none of them carries the time.
    std::vector<std::string> lines() const {
        std::vector<std::string> texts;
        for (const LogLine& line : last.lines) texts.push_back(line.timed ? "[ts]" : line.text);
        return texts;
    }
    ScanResult& scan(const std::string& file) {
        test::os::setEnvironmentVariable("QUORVEL_STAND_IN_EXIT", std::to_string(exitCode));
        last = scanStream(analyser, file, control);
        test::os::setEnvironmentVariable("QUORVEL_STAND_IN_EXIT", std::nullopt);
        return last;
    }
    // The stand-in analyser, printing `report` (CR LF ended) and ending with `exit`.
    void fakeAnalyser(const std::string& report, int exit = 0) {
        analyser = test::installStandInAnalyser(dir.path(), report);
        exitCode = exit;
    }
    int exitCode = 0;
    // Scans the folder's first stream file as the job scans a clip.
    ScanOutcome scanFirst() {
        const std::string stream = fs::firstFileMatching(streamFolder(), ".M2TS");
        return scan(streamFolder() + "/" + stream).outcome;
    }
    void emptyStream() {
        test::makeDirs(streamFolder());
        test::writeText(streamFolder() + "/00000.m2ts", "");
    }
};

const std::vector<std::string> kHdrLog = {" - UHD and HDR attributes collected.",
                                          " - Scan completed."};
const std::vector<std::string> kSdrLog = {" - UHD attributes collected.", " - Scan completed."};

TEST(ScanStream, RealAnalyserOnHdrFixture) {
    const std::string fixture = test::fixturePath("a-2160p-hdr10-ac3");
    const std::string analyser = platform::findOnPath("mediainfo");
    if (fixture.empty() || analyser.empty()) GTEST_SKIP() << "fixture a or mediainfo absent";
    ScanHarness h;
    test::copyTree(fixture, h.dir / "disc");
    h.analyser = analyser;

    EXPECT_EQ(h.scanFirst(), ScanOutcome::Collected);
    ASSERT_EQ(h.last.attributes.uhdExtensionData.size(), kUhdExtensionDataSize);
    EXPECT_EQ(slice(h.last.attributes.uhdExtensionData, 0, 36), kFixedHeader);
    EXPECT_EQ(slice(h.last.attributes.uhdExtensionData, 36, 16), kP3D65Primaries);
    EXPECT_EQ(slice(h.last.attributes.uhdExtensionData, 52, 8),
              (ByteString{0x03, 0xE8, 0x00, 0x32, 0x03, 0xE8, 0x01, 0x90}));
    EXPECT_EQ(h.lines(), kHdrLog);
}

TEST(ScanStream, RealAnalyserOnSdrFixtureGivesTheNonHdrForm) {
    const std::string fixture = test::fixturePath("c-1080p-sdr");
    const std::string analyser = platform::findOnPath("mediainfo");
    if (fixture.empty() || analyser.empty()) GTEST_SKIP() << "fixture c or mediainfo absent";
    ScanHarness h;
    test::copyTree(fixture, h.dir / "disc");
    h.analyser = analyser;

    EXPECT_EQ(h.scanFirst(), ScanOutcome::Collected);
    EXPECT_EQ(h.last.attributes.uhdExtensionData, concat({kFixedHeader, ByteString(24, 0x00)}));
    EXPECT_EQ(h.lines(), kSdrLog);
}

// A scan is trusted only when the analyser finished and named a video track; otherwise one line
// says why (nothing on an abort, which the job reports), and no attribute line appears.
TEST(ScanStream, UntrustworthyRunsFailWithTheirReason) {
    const std::string hdrVideo = field("ID", "1") + field("Codec ID", "36") +
                                 field("Mastering display color primaries", "BT.2020");
    struct Case {
        const char* name;
        std::string report;
        int exitCode;
        bool analyserPresent;
        bool abort;
        ScanOutcome outcome;
        std::string failure;  // after " - Scan failed: "; "FILE" stands for the stream's path
    };
    const Case cases[] = {
        {"exit 2", hdrVideo, 2, true, false, ScanOutcome::Failed,
         "the analyser ended with exit code 2"},
        {"missing", "", 0, false, false, ScanOutcome::Failed, "the analyser could not be started"},
        {"silent", "", 0, true, false, ScanOutcome::Failed, "the analyser could not read FILE"},
        {"general only", "General\n" + field("File size", "0.00 Byte"), 1, true, false,
         ScanOutcome::Failed, "the analyser reported no video track for FILE"},
        {"abort", hdrVideo, 0, true, true, ScanOutcome::Aborted, ""},
    };
    for (const Case& c : cases) {
        ScanHarness h;
        h.emptyStream();
        if (c.analyserPresent) {
            h.fakeAnalyser(c.report, c.exitCode);
        } else {
            h.analyser = h.dir / "absent";
        }
        if (c.abort) h.control.onProcessEvents = [&] { h.control.abortRequested = true; };
        const std::string file = h.streamFolder() + "/00000.m2ts";
        const ScanResult& result = h.scan(file);
        EXPECT_EQ(result.outcome, c.outcome) << c.name;
        const StreamAttributes& out = result.attributes;

        std::string reason = c.failure;
        if (const std::size_t at = reason.find("FILE"); at != std::string::npos)
            reason.replace(at, 4, file);
        std::vector<std::string> expected;
        if (!reason.empty()) expected.push_back(" - Scan failed: " + reason + ".");
        EXPECT_EQ(h.lines(), expected) << c.name;
        EXPECT_EQ(out.failure, reason) << c.name;
        EXPECT_FALSE(out.hasVideo) << c.name;
        EXPECT_TRUE(out.uhdExtensionData.empty()) << c.name;
    }
}

TEST(ScanStream, RealAnalyserOnAnEmptyStreamFails) {
    const std::string analyser = platform::findOnPath("mediainfo");
    if (analyser.empty()) GTEST_SKIP() << "mediainfo absent";
    ScanHarness h;
    h.emptyStream();
    h.analyser = analyser;
    EXPECT_EQ(h.scanFirst(), ScanOutcome::Failed);
    EXPECT_EQ(h.lines(),
              (std::vector<std::string>{" - Scan failed: the analyser reported no video track for " +
                                        h.streamFolder() + "/00000.m2ts."}));
}

TEST(ScanStream, CollectedScanDescribesTheChosenTrack) {
    ScanHarness h;
    h.emptyStream();
    h.fakeAnalyser(field("ID", "1") + field("Codec ID", "A_AC3") + field("ID", "2") +
                   field("Codec ID", "36") + field("Width", "3 840 pixels") +
                   field("Height", "2 160 pixels") +
                   field("Mastering display color primaries", "BT.2020") +
                   field("Maximum Content Light Level", "1000 cd/m2"));
    const ScanResult& result = h.scan(h.streamFolder() + "/00000.m2ts");
    EXPECT_EQ(result.outcome, ScanOutcome::Collected);
    const StreamAttributes& out = result.attributes;
    EXPECT_TRUE(out.hasVideo);
    EXPECT_TRUE(out.is2160);
    EXPECT_TRUE(out.isHdr);
    EXPECT_EQ(out.width, 3840);
    EXPECT_EQ(out.height, 2160);
    EXPECT_EQ(slice(out.uhdExtensionData, 56, 2), (ByteString{0x03, 0xE8}));
    EXPECT_EQ(h.lines(),
              (std::vector<std::string>{" - UHD and HDR attributes collected.",
                                        " - Scan completed."}));
}

TEST(ScanStream, FirstVideoTrackDecidesEvenWhenOnlyTheSecondIsHdr) {
    ScanHarness h;
    h.emptyStream();
    h.fakeAnalyser(field("ID", "1") + field("Codec ID", "27") + field("ID", "2") +
                   field("Codec ID", "36") + field("Mastering display color primaries", "BT.2020"));
    EXPECT_EQ(h.scanFirst(), ScanOutcome::Collected);
    EXPECT_FALSE(h.last.attributes.isHdr);
    EXPECT_EQ(h.lines(), kSdrLog);
}

TEST(ScanStream, NothingOfAnEarlierScanCarriesOver) {
    ScanHarness h;
    h.emptyStream();
    h.fakeAnalyser(field("ID", "1") + field("Codec ID", "36") + field("ID", "2"));
    EXPECT_EQ(h.scanFirst(), ScanOutcome::Collected);

    h.fakeAnalyser("General\n");
    EXPECT_EQ(h.scanFirst(), ScanOutcome::Failed);  // no video track: not trusted
    EXPECT_FALSE(h.last.attributes.hasVideo);
}

}  // namespace
}  // namespace quorvel
