// Report lines no analyser in its right mind writes: very long lines, lines without a colon and
// binary junk. The parser reads nothing outside the line, keeps its records consistent and
// changes nothing for what it does not recognise.

#include <gtest/gtest.h>

#include <string>

#include "analysis/MediaInfoParser.h"

namespace quorvel {
namespace {

std::string field(const std::string& key, const std::string& value) {
    std::string line = key;
    line.resize(41, ' ');
    return line + ": " + value + "\n";
}

TEST(RobustnessReport, TenThousandCharacterLinesAreReadWhole) {
    MediaInfoReport state;
    ParseMediaInfoLine(state, field("ID", "4113 (0x1011)"));
    const std::string longValue = "v_" + std::string(10000, 'q');
    ParseMediaInfoLine(state, field("Codec ID", longValue));
    ParseMediaInfoLine(state, std::string(10000, 'x') + "\n");
    ParseMediaInfoLine(state, std::string(10000, ' ') + "\n");
    ParseMediaInfoLine(state, field("Width", std::string(10000, '9') + " pixels"));

    ASSERT_EQ(1, state.trackCount);
    const MediaTrack& track = state.tracks[1];
    EXPECT_EQ(2147483647, track.width);  // clamped to the field
    EXPECT_EQ(0, state.videoTrackIndex);
}

TEST(RobustnessReport, LinesWithoutAColonOrWithBinaryJunkChangeNothing) {
    MediaInfoReport state;
    const MediaInfoReport fresh;
    ParseMediaInfoLine(state, "Codec ID 36\n");
    ParseMediaInfoLine(state, ":\n");
    ParseMediaInfoLine(state, "\n");
    ParseMediaInfoLine(state, "");
    std::string junk;
    for (int round = 0; round < 40; ++round) {
        for (int byte = 0; byte < 256; ++byte) {
            if (byte != '\n') junk += static_cast<char>((byte * 7 + round) & 0xFF);
        }
    }
    ParseMediaInfoLine(state, junk + "\n");
    ParseMediaInfoLine(state, junk.substr(0, 41) + ": " + junk.substr(41) + "\r\n");

    EXPECT_EQ(fresh.tracks, state.tracks);
    EXPECT_EQ(0, state.trackCount);
    EXPECT_EQ(0, state.videoTrackIndex);
}

}  // namespace
}  // namespace quorvel
