// Program map sections whose length field is at the two ends of its 12 bits, and stream paths
// that are not regular files: nothing of them is written, and the pass says why it fails.

#include <gtest/gtest.h>

#include "M2tsHarness.h"  // from tests/transport

namespace quorvel {
namespace {

using namespace test;

ByteString videoFirstPmt() {
    return pmtSection(
        {{0x06, kTestVideoPid, registrationDescriptor("HEVC")}, {0x81, kTestAudioPid, {}}});
}

// Sets the 12-bit section length of a section (table id at 0) and leaves the rest alone.
ByteString withSectionLength(ByteString section, int length) {
    section[1] = static_cast<std::uint8_t>((section[1] & 0xF0) | ((length >> 8) & 0x0F));
    section[2] = static_cast<std::uint8_t>(length & 0xFF);
    return section;
}

TEST(RobustnessStream, SectionLengthZeroOr4095IsLeftAloneReportedAndTheScanGoesOn) {
    for (const int length : {0, 4095}) {
        SCOPED_TRACE(length);
        TempDir dir;
        const std::string path = dir / "00000.m2ts";
        StreamBuilder stream;
        stream.addPat();
        const std::int64_t bad =
            stream.addSection(withSectionLength(videoFirstPmt(), length)).front();
        // With 4095 the collection would need 22 packets; give it more than enough PMT packets
        // so the oversized section would be complete inside the file.
        for (int k = 0; k < 24; ++k) stream.addSection(withSectionLength(videoFirstPmt(), length));
        const std::int64_t good = stream.addSection(videoFirstPmt()).front();
        const std::int64_t video = stream.addVideo(pesStart());
        writeFile(path, stream.bytes());

        M2tsHarness h;
        EXPECT_FALSE(h.run(path));
        const ByteString after = readFile(path);
        ASSERT_EQ(stream.bytes().size(), after.size());
        for (std::int64_t at = 0; at < good; at += 192) {
            EXPECT_EQ(packetAt(stream.bytes(), at), packetAt(after, at)) << "packet at " << at;
        }
        EXPECT_EQ(0x24, sectionFromPackets({packetAt(after, good)})[12]);
        EXPECT_EQ(0xE1, after[static_cast<std::size_t>(video) + 11]);
        EXPECT_EQ(
            h.jobLog.lines(),
            (std::vector<std::string>{
                "[12:34:56] Checking/Adjusting M2TS file...",
                " - Couldn't re-mark the program map section at byte " + std::to_string(bad) +
                    ": its section length " + std::to_string(length) + " lies outside 13..1021.",
                " - Couldn't re-mark 25 program map sections in all; they were left as "
                "they are."}));
    }
}

TEST(RobustnessStream, FolderInPlaceOfTheStreamFails) {
    TempDir dir;
    makeDirs(dir / "00000.m2ts");
    M2tsHarness h;
    EXPECT_FALSE(h.run(dir / "00000.m2ts"));
    EXPECT_EQ(h.jobLog.lines().back(),
              " - Couldn't open the stream " + dir / "00000.m2ts" + ": it is not a regular file.");
    EXPECT_TRUE(exists(dir / "00000.m2ts"));
}

}  // namespace
}  // namespace quorvel
