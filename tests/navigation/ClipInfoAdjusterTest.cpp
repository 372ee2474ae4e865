// The clip information adjuster on synthetic clips: stream order, markings, the dynamic range
// byte, the scan's chosen track and malformed structures.

#include <gtest/gtest.h>

#include <functional>

#include "navigation/ClipInfoAdjuster.h"
#include "navigation/NavigationTestSupport.h"

namespace quorvel::test::nav {
namespace {

class ClipInfoAdjuster : public ::testing::Test {
  protected:
    std::string write(const ByteString& bytes) {
        writeFile(path, bytes);
        return path;
    }

    TempDir dir;
    std::string path = dir / "00001.clpi";
    Harness h;
};

std::vector<std::string> heading(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "[ts] Checking/Adjusting CLPI file...");
    return rest;
}

const std::vector<std::string> kRemarkedLines = {
    " - Found HEVC stream...",
    "   -- Type marker adjusted to UHD-BD HEVC...",
    "   -- Format marker adjusted to 2160p...",
    "   -- Version marker adjusted to be 0300...",
};

const ClipStream kAudio{.pid = 0x1100, .codingType = 0x81, .format = 0x61, .infoLength = 0x15};

TEST_F(ClipInfoAdjuster, VideoAfterAudioIsFoundByTheAudioEntrysLength) {
    const Clip clip = buildClip({kAudio, ClipStream{.format = 0x63}});
    const std::size_t e = clip.entries[1];

    EXPECT_TRUE(h.adjustClip(write(clip.bytes)));
    ByteString wanted = clip.bytes;
    putAt(wanted, 0, asciiBytes("HDMV0300"));
    wanted[e + 3] = 0x24;
    wanted[e + 4] = 0x83;
    wanted[e + 6] = 0x12;
    EXPECT_SAME_BYTES(wanted, readFile(path));
    EXPECT_EQ(heading(kRemarkedLines), h.lines());
}

TEST_F(ClipInfoAdjuster, SdrTrackGetsDynamicRangeByte01) {
    h.isHdr = false;
    const Clip clip = buildClip({ClipStream{}});

    EXPECT_TRUE(h.adjustClip(write(clip.bytes)));
    EXPECT_EQ(0x01, readFile(path)[clip.entries[0] + 6]);
}

TEST_F(ClipInfoAdjuster, StreamMarkedUhdIsReportedAndKept) {
    const Clip clip = buildClip({ClipStream{.codingType = 0x24, .format = 0x81}});
    ByteString wanted = clip.bytes;
    putAt(wanted, 0, asciiBytes("HDMV0300"));

    EXPECT_TRUE(h.adjustClip(write(clip.bytes)));
    EXPECT_SAME_BYTES(wanted, readFile(path));
    EXPECT_EQ(heading({" - HEVC stream previously marked as 2160p UHD."}), h.lines());
}

struct Malformed {
    const char* name;
    ByteString bytes;
    const char* reason;
};

ByteString clipWith(const std::function<void(ByteString&, const Clip&)>& damage) {
    const Clip clip = buildClip({kAudio, ClipStream{}});
    ByteString b = clip.bytes;
    damage(b, clip);
    return b;
}

std::vector<Malformed> malformedClips() {
    const std::size_t count = kProgramInfoAddress + 12;
    return {
        {"Empty", {}, "shorter than its 16-byte header"},
        {"TruncatedHeader", clipWith([](ByteString& b, const Clip&) { b.resize(15); }),
         "shorter than its 16-byte header"},
        {"ProgramAddressPastEnd",
         clipWith([](ByteString& b, const Clip&) { put32(b, 12, 0x7FFFFFF0); }),
         "program information address 0x7FFFFFF0"},
        {"ProgramAddressInHeader", clipWith([](ByteString& b, const Clip&) { put32(b, 12, 2); }),
         "program information address 0x00000002"},
        {"StreamCountPastEnd", clipWith([count](ByteString& b, const Clip&) { b[count] = 40; }),
         "stream entry"},
        {"EntryLengthPastEnd",
         clipWith([](ByteString& b, const Clip& c) { b[c.entries[1] + 2] = 0xF0; }),
         "stream entry 2 at offset"},
        {"EntryWithoutCodingInfo", clipWith([](ByteString& b, const Clip& c) {
             b[c.entries[1] + 2] = 0;
             b.resize(c.entries[1] + 3);
         }),
         "stream entry 2 has no stream coding information"},
        {"HevcEntryTooShort",
         clipWith([](ByteString& b, const Clip& c) { b[c.entries[1] + 2] = 3; }),
         "too short for HEVC video attributes"},
        {"TruncatedEntry",
         clipWith([](ByteString& b, const Clip& c) { b.resize(c.entries[1] + 2); }),
         "stream entry 2 at offset"},
        // Well-formed, but without a stream this conversion is for: nothing is written.
        {"NoStreams", buildClip({}).bytes, "has no HEVC video stream (coding type 0x06 or 0x24)"},
        {"AudioOnly", buildClip({kAudio}).bytes, "has no HEVC video stream"},
        {"HevcNot1080p", buildClip({ClipStream{.format = 0x41}}).bytes,
         "the video stream of stream entry 1 is HEVC with the video format code 4, not 1080p"},
    };
}

class MalformedClip : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedClip, IsRefusedAndLeftByteIdentical) {
    TempDir dir;
    Harness h;
    const std::string path = dir / "00000.clpi";
    writeFile(path, GetParam().bytes);

    EXPECT_FALSE(h.adjustClip(path));
    EXPECT_SAME_BYTES(GetParam().bytes, readFile(path));
    const auto lines = h.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[1].rfind(" - Cannot adjust clip information file " + path + ": ", 0))
        << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find(GetParam().reason)) << lines[1];
}

INSTANTIATE_TEST_SUITE_P(Structures, MalformedClip, ::testing::ValuesIn(malformedClips()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel::test::nav
