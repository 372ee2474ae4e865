// Program map sections whose length field is at the two ends of its 12 bits, and stream paths
// that are not regular files: nothing is written, and the scan either ends normally or says
// it failed.

#include <gtest/gtest.h>

#include "M2tsHarness.h"  // from tests/transport

namespace quorvel {
namespace {

using namespace test;

ByteString videoFirstPmt() {
    return pmtSection({{0x06, kTestVideoPid, registrationDescriptor("HEVC")},
                       {0x81, kTestAudioPid, {}}});
}

// Sets the 12-bit section length of a section (table id at 0) and leaves the rest alone.
ByteString withSectionLength(ByteString section, int length) {
    section[1] = static_cast<std::uint8_t>((section[1] & 0xF0) | ((length >> 8) & 0x0F));
    section[2] = static_cast<std::uint8_t>(length & 0xFF);
    return section;
}

TEST(RobustnessStream, SectionLengthZeroOr4095IsLeftAloneAndTheScanGoesOn) {
    for (const int length : {0, 4095}) {
        SCOPED_TRACE(length);
        TempDir dir;
        const std::string path = dir / "00000.m2ts";
        StreamBuilder stream;
        stream.addPat();
        const std::vector<std::int64_t> bad = stream.addSection(withSectionLength(videoFirstPmt(), length));
        // With 4095 the collection would need 22 packets; give it more than enough PMT packets
        // so the oversized section is complete inside the file.
        for (int k = 0; k < 24; ++k) stream.addSection(withSectionLength(videoFirstPmt(), length));
        const std::int64_t video = stream.addVideo(pesStart());
        writeFile(path, stream.bytes());

        M2tsHarness h;
        ASSERT_TRUE(h.run(path));
        const ByteString after = readFile(path);
        ASSERT_EQ(stream.bytes().size(), after.size());
        for (std::int64_t at = 0; at < video; at += 192) {
            EXPECT_EQ(packetAt(stream.bytes(), at), packetAt(after, at)) << "packet at " << at;
        }
        EXPECT_EQ(0xE1, after[static_cast<std::size_t>(video) + 11]);
        (void)bad;
    }
}

TEST(RobustnessStream, FolderInPlaceOfTheStreamFails) {
    TempDir dir;
    makeDirs(dir / "00000.m2ts");
    M2tsHarness h;
    EXPECT_FALSE(h.run(dir / "00000.m2ts"));
    EXPECT_TRUE(exists(dir / "00000.m2ts"));
}

}  // namespace
}  // namespace quorvel
