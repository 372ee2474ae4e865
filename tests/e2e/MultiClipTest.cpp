// Titles split into several clips: a job converts every clip the playlist names (its clip
// information file, its stream and their BACKUP copies) as it converts the first, and tools we
// did not write read every clip as Ultra HD HEVC.

#include <gtest/gtest.h>

#include <regex>

#include "e2e/DiscExpectations.h"
#include "e2e/E2eRun.h"
#include "e2e/TreeChecks.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

// libbluray's log mask: files opened, its own messages, playlist and clip parsing, errors.
const std::string kBlurayDebugMask = "BD_DEBUG_MASK=0x944";

class MultiClip : public ::testing::TestWithParam<DiscCase> {
  protected:
    void SetUp() override {
        if (GetParam().folder.empty()) GTEST_SKIP() << GetParam().name << " is not present";
        copyTree(GetParam().folder + "/BDMV", m_dir / "BDMV");
        m_original = readTree(m_dir.path());
        m_files = convertedFiles(m_original);
        ASSERT_EQ(m_files.streams.size(), GetParam().clips);
    }

    std::string folder() const { return m_dir.path(); }

    TempDir m_dir;
    Tree m_original;
    ConvertedFiles m_files;
};

uint32_t be32(const ByteString& b, std::size_t at) {
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 |
           b.at(at + 3);
}

// The sample is what the runs below need: clips joined seamlessly in playlist order, each stream
// opening with its own program association section.
TEST_P(MultiClip, SampleSplitsTheTitleAsTheMuxerDoes) {
    constexpr uint8_t kNotSeamless = 0x01;
    constexpr uint8_t kSeamless = 0x06;  // connection condition; no angles in the flag byte
    const ByteString& mpls = m_original.at(m_files.playlist);
    const std::vector<std::size_t> items = playItems(mpls);
    ASSERT_EQ(items.size(), GetParam().clips);
    for (std::size_t k = 0; k < items.size(); ++k) {
        SCOPED_TRACE("play item " + std::to_string(k + 1));
        EXPECT_EQ(mpls.at(items[k] + 12), k == 0 ? kNotSeamless : kSeamless);
        if (k > 0) {
            EXPECT_EQ(be32(mpls, items[k] + 14), be32(mpls, items[k - 1] + 18))
                << "IN time is the previous item's OUT time";
        }
        const ByteString& stream = m_original.at(m_files.streams[k]);
        ASSERT_GE(stream.size(), 2 * 192u);
        EXPECT_EQ(stream[5] & 0x5F, 0x40) << "a PAT packet opens the stream";
        EXPECT_EQ(stream[6], 0);
        // The program map section follows; it spans packets in the many-track sample.
        const std::size_t sectionLength = ((stream[192 + 10] & 0x0F) << 8) | stream[192 + 11];
        EXPECT_EQ(192 + 9 + sectionLength + 3 > 2 * 192, !GetParam().sectionsInOnePacket);
    }
}

TEST_P(MultiClip, FirstJobConvertsEveryClipAsTheFirst) {
    const JobRun run = runJob({folder()});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;

    const bool exact = GetParam().sectionsInOnePacket;
    expectTree(folder(), expectedTree(m_original, GetParam(), true), !exact);
    if (!exact) {
        const Tree actual = readTree(folder());
        for (const auto& stream : m_files.streams) {
            expectConvertedCensus(stream, m_original.at(stream), actual.at(stream));
        }
    }
}

TEST_P(MultiClip, SecondJobChangesNoByte) {
    ASSERT_EQ(runJob({folder()}).result.exitCode, 0);
    const Tree converted = readTree(folder());
    const JobRun second = runJob({folder()});
    ASSERT_EQ(second.result.exitCode, 0) << second.result.err;
    expectTree(folder(), converted);
}

TEST_P(MultiClip, SkipM2tsConvertsEveryClipInformationFileAndLeavesEveryStream) {
    const JobRun run = runJob({"--skip-m2ts", folder()});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;
    expectTree(folder(), expectedTree(m_original, GetParam(), false));
}

TEST_P(MultiClip, ToolsWeDidNotWriteReadEveryClip) {
    const auto probe = [](const std::string& stream) {
        return runCommand({"ffprobe", "-v", "error", "-show_entries",
                           "stream=index,id,codec_type,codec_name", "-of", "csv=p=0", stream});
    };
    std::vector<CommandResult> before;
    for (const auto& stream : m_files.streams) before.push_back(probe(folder() + stream));
    if (before.front().exitCode < 0) GTEST_SKIP() << "ffprobe is not installed";

    const JobRun run = runJob({folder()});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;

    for (std::size_t k = 0; k < m_files.streams.size(); ++k) {
        const std::string stream = folder() + m_files.streams[k];
        SCOPED_TRACE(m_files.streams[k]);
        // The analyser names the new stream type (decimal 36 = 0x24) in every clip.
        const CommandResult media = runCommand({"mediainfo", stream});
        ASSERT_EQ(media.exitCode, 0);
        EXPECT_TRUE(std::regex_search(media.out, std::regex(R"((^|\n)Codec ID\s*: 36\r?\n)")))
            << media.out;
        // Every stream of the original is still found, with no complaint before or after.
        const CommandResult after = probe(stream);
        EXPECT_EQ(before[k].err, "");
        EXPECT_FALSE(before[k].out.empty());
        EXPECT_EQ(after.out, before[k].out);
        EXPECT_EQ(after.err, "");
    }

    // libbluray parses every clip of the title without a complaint and sees a 4K Ultra HD disc.
    const CommandResult titles =
        runCommand({"bd_list_titles", "-a", "-l", folder()}, {kBlurayDebugMask});
    if (titles.exitCode < 0) GTEST_SKIP() << "bd_list_titles is not installed";
    const std::string said = titles.out + titles.err;
    EXPECT_EQ(titles.exitCode, 0);
    EXPECT_TRUE(std::regex_search(
        titles.out, std::regex(R"(index:\s+1 .* clips:\s+)" + std::to_string(GetParam().clips) +
                               R"( \(playlist: 00000\.mpls\))")))
        << said;
    for (const auto& clipInfo : m_files.clipInfos) {
        EXPECT_NE(said.find(clipInfo), std::string::npos) << clipInfo << " was not read";
    }
    EXPECT_EQ(said.find("unrecognized coding type"), std::string::npos) << said;
    EXPECT_NE(said.find("Detected 4K UltraHD"), std::string::npos) << said;
}

std::string caseName(const ::testing::TestParamInfo<DiscCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Samples, MultiClip, ::testing::ValuesIn(multiClipCases()), caseName);

}  // namespace
}  // namespace quorvel::test::e2e
