// The adjuster over copies of real muxer output.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "M2tsHarness.h"
#include "transport/StreamCheck.h"
#include "transport/ProgramMapSection.h"
#include "transport/SourcePacket.h"

namespace quorvel {
namespace {

using namespace test;

constexpr std::uint16_t kFixturePmtPid = 0x0100;
constexpr std::size_t kFixturePesStarts = 35;

// "codec_type/codec_name" of every stream ffprobe lists.
std::vector<std::string> probedStreams(const std::string& path) {
    const CommandResult result = runCommand({"ffprobe", "-hide_banner", "-show_streams", path});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> streams;
    std::string name;
    for (const std::string& line : splitLines(result.out)) {
        if (line.rfind("codec_name=", 0) == 0) name = line.substr(11);
        if (line.rfind("codec_type=", 0) == 0) streams.push_back(line.substr(11) + "/" + name);
    }
    return streams;
}

// The muxer puts the video entry first, right behind the program descriptors.
std::size_t videoEntry(const ByteString& section) {
    return 12 + (((section[10] & 0x0F) << 8) | section[11]);
}

struct Counts {
    std::size_t sections = 0;
    std::size_t remarked = 0;
    std::size_t e0 = 0;
    std::size_t e1 = 0;
};

// Walks the one-packet program map sections and the video PES starts of a stream.
Counts inspect(const ByteString& stream) {
    Counts counts;
    for (std::size_t at = 0; at + 192 <= stream.size(); at += 192) {
        const SourcePacket packet(stream.data() + at);
        if (packet.pid() == kFixturePmtPid && packet.startBit()) {
            const ByteString section =
                sectionFromPackets({packetAt(stream, static_cast<std::int64_t>(at))});
            ++counts.sections;
            EXPECT_TRUE(sectionCrcValid(section)) << "section at " << at;
            const std::size_t entry = videoEntry(section);
            EXPECT_EQ(pidAt(section.data() + entry + 1), kVideoPid);
            if (section[entry] == kStreamTypeHevcUhd &&
                std::equal(kHdmvIdentifier.begin(), kHdmvIdentifier.end(),
                           section.begin() + entry + 7)) {
                ++counts.remarked;
            }
        }
        if (packet.pid() == kVideoPid && packet.adaptationControl() == kPayloadOnly &&
            stream[at + 8] == 0 && stream[at + 9] == 0 && stream[at + 10] == 1) {
            counts.e0 += stream[at + 11] == 0xE0;
            counts.e1 += stream[at + 11] == 0xE1;
        }
    }
    return counts;
}

class M2tsFixtureTest : public ::testing::TestWithParam<const char*> {};

TEST_P(M2tsFixtureTest, ReMarksEverySectionAndPesStartAndNothingElse) {
    const std::string fixture = fixturePath(GetParam());
    if (fixture.empty()) GTEST_SKIP() << "fixture absent";
    // The streams are read back with a Linux tool, which a Windows build cannot start.
    if (runCommand({"ffprobe", "-version"}).exitCode != 0) GTEST_SKIP() << "ffprobe absent";
    TempDir dir;
    const std::string path = dir / "00000.m2ts";
    const ByteString original = readFile(fixture + "/BDMV/STREAM/00000.m2ts");
    writeFile(path, original);
    const Counts before = inspect(original);
    ASSERT_GT(before.sections, 0u);
    ASSERT_EQ(before.remarked, 0u);
    ASSERT_EQ(before.e0, kFixturePesStarts);

    M2tsHarness h;
    // The read-only looks foresee exactly what the pass changes.
    EXPECT_EQ(checkFirstProgramMap(path).state,
              ProgramMapCheck::State::Convertible);
    StreamSurvey survey;
    ASSERT_TRUE(h.survey(path, survey));
    EXPECT_EQ(survey.sectionsToRemark, static_cast<std::int64_t>(before.sections));
    EXPECT_EQ(survey.identifiersToChange, static_cast<std::int64_t>(before.sections));
    EXPECT_EQ(survey.pesToRemark, static_cast<std::int64_t>(kFixturePesStarts));
    EXPECT_EQ(survey.sectionsUnusable + survey.sectionsMarked + survey.packetsWithoutSync, 0);

    ASSERT_TRUE(h.run(path, M2tsScanOptions{}));
    const ByteString after = readFile(path);
    ASSERT_EQ(after.size(), original.size());
    const Counts counts = inspect(after);
    EXPECT_EQ(counts.sections, before.sections);
    EXPECT_EQ(counts.remarked, before.sections);
    EXPECT_EQ(counts.e0, 0u);
    EXPECT_EQ(counts.e1, kFixturePesStarts);

    // Every changed byte is a stream id, a video entry's type or identifier, or a CRC byte.
    for (std::int64_t offset : differingOffsets(original, after)) {
        const auto at = static_cast<std::size_t>(offset);
        const std::size_t packetStart = at / 192 * 192;
        const std::size_t inPacket = at - packetStart;
        const SourcePacket packet(after.data() + packetStart);
        if (packet.pid() == kVideoPid) {
            EXPECT_EQ(inPacket, 11u) << "video byte changed at " << at;
        } else {
            ASSERT_EQ(packet.pid(), kFixturePmtPid) << "byte changed at " << at;
            const std::size_t sectionLength =
                ((after[packetStart + 10] & 0x0F) << 8) | after[packetStart + 11];
            const std::size_t e = 9 + videoEntry(sectionFromPackets({packetAt(
                                          after, static_cast<std::int64_t>(packetStart))}));
            const bool entry = inPacket == e || (inPacket >= e + 7 && inPacket < e + 11);
            const bool crc = inPacket >= sectionLength + 8 && inPacket < sectionLength + 12;
            EXPECT_TRUE(entry || crc) << "section byte changed at " << at;
        }
    }

    EXPECT_EQ(probedStreams(path), probedStreams(fixture + "/BDMV/STREAM/00000.m2ts"));
    EXPECT_EQ(checkFirstProgramMap(path).state,
              ProgramMapCheck::State::AlreadyMarked);
    ASSERT_TRUE(h.survey(path, survey));
    EXPECT_EQ(survey.sectionsMarked, static_cast<std::int64_t>(before.sections));
    EXPECT_EQ(survey.pesMarked, static_cast<std::int64_t>(kFixturePesStarts));
    EXPECT_EQ(survey.sectionsToRemark + survey.pesToRemark + survey.sectionsUnusable, 0);

    const long long stamp = modificationTime(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(h.run(path, M2tsScanOptions{}));
    EXPECT_EQ(modificationTime(path), stamp);
    EXPECT_EQ(readFile(path), after);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, M2tsFixtureTest,
                         ::testing::Values("a-2160p-hdr10-ac3", "c-1080p-sdr"),
                         [](const auto& info) { return std::string(info.param).substr(0, 1); });

}  // namespace
}  // namespace quorvel
