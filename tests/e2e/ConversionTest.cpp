// Whole conversions with quorvel-cli and the real analyser, over the muxer-written fixtures and
// the sample folders, checked byte for byte and with tools we did not write.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "e2e/BlurayProbe.h"
#include "e2e/DiscExpectations.h"
#include "e2e/E2eRun.h"
#include "platform/TestOs.h"
#include "e2e/TreeChecks.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

const std::string kIndex = "BDMV/index.bdmv";
const std::string kPlaylist = "BDMV/PLAYLIST/00000.mpls";
const std::string kClipInfo = "BDMV/CLIPINF/00000.clpi";
const std::string kStream = "BDMV/STREAM/00000.m2ts";

class Conversion : public ::testing::TestWithParam<DiscCase> {
  protected:
    void SetUp() override {
        if (GetParam().folder.empty()) GTEST_SKIP() << GetParam().name << " is not present";
        copyTree(GetParam().folder + "/BDMV", m_dir / "BDMV");
        m_original = readTree(m_dir.path());
    }

    std::string folder() const { return m_dir.path(); }

    // What the converted tree must hold: the patched files, their BACKUP copies equal to them,
    // every other file as it was.
    Tree expectedTree(bool withStream) const {
        return e2e::expectedTree(m_original, GetParam(), withStream);
    }

    TempDir m_dir;
    Tree m_original;
};

TEST_P(Conversion, FirstJobLogsTheListingAndChangesExactlyTheDocumentedFields) {
    const JobRun run = runJob({folder()});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.log, firstJobLog(GetParam().hdr));

    const Tree actual = readTree(folder());
    if (GetParam().name.rfind("fixture_", 0) == 0) {
        // The walks land where the fixtures' own notes put the two video entries.
        EXPECT_EQ(playlistStreamTable(m_original.at(kPlaylist)), 0x66u);
        EXPECT_EQ(clipVideoEntry(m_original.at(kClipInfo)), 0x106u);
    }
    // The sizes the two appended blocks give.
    EXPECT_EQ(actual.at(kIndex).size(), m_original.at(kIndex).size() + 36);
    EXPECT_EQ(actual.at(kPlaylist).size(), m_original.at(kPlaylist).size() + 60);
    EXPECT_EQ(actual.at(kStream).size(), m_original.at(kStream).size());
    expectTree(folder(), expectedTree(true), !GetParam().sectionsInOnePacket);

    if (!GetParam().sectionsInOnePacket) {
        // Sections spread over packets: check them as a demultiplexer reads them.
        expectConvertedCensus(kStream, m_original.at(kStream), actual.at(kStream));
    }
}

// Each file's identity (inode) and modification time in nanoseconds, by path below the folder.
std::map<std::string, std::pair<os::FileIdentity, long long>> identities(const std::string& root) {
    std::map<std::string, std::pair<os::FileIdentity, long long>> found;
    for (const std::string& name : listFilesRecursively(root)) {
        const std::optional<os::FileIdentity> identity = os::fileIdentity(root + name);
        EXPECT_TRUE(identity.has_value()) << name;
        found[name] = {identity.value_or(os::FileIdentity{}), modificationTime(root + name)};
    }
    return found;
}

// A rerun writes nothing: backup tools and file managers see no change, BACKUP copies included.
TEST_P(Conversion, SecondJobLogsTheVariantAndChangesNoByteTimeOrInode) {
    const JobRun first = runJob({folder()});
    ASSERT_EQ(first.result.exitCode, 0) << first.result.err;
    const Tree converted = readTree(folder());
    const auto convertedIds = identities(folder());

    const JobRun second = runJob({folder()});
    ASSERT_EQ(second.result.exitCode, 0) << second.result.err;
    EXPECT_EQ(second.log, secondJobLog(GetParam().hdr));
    expectTree(folder(), converted);
    EXPECT_EQ(identities(folder()), convertedIds);
}

TEST_P(Conversion, SkipM2tsConvertsTheNavigationFilesAndLeavesTheStreamBytes) {
    const JobRun run = runJob({"--skip-m2ts", folder()});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.log, skipStreamJobLog(GetParam().hdr));
    expectTree(folder(), expectedTree(false));
}

TEST_P(Conversion, ToolsWeDidNotWriteReadTheConvertedDisc) {
    const std::string stream = folder() + kStream;
    const CommandResult probeBefore =
        runCommand({"ffprobe", "-v", "error", "-show_entries",
                    "stream=index,id,codec_type,codec_name", "-of", "csv=p=0", stream});
    if (probeBefore.exitCode < 0) GTEST_SKIP() << "ffprobe is not installed";
    const BlurayView blurayBefore = readWithLibbluray(folder());

    const JobRun run = runJob({folder()});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;

    // The analyser names the new stream type (decimal 36 = 0x24), whatever its column padding.
    const CommandResult media = runCommand({"mediainfo", stream});
    ASSERT_EQ(media.exitCode, 0);
    EXPECT_TRUE(std::regex_search(media.out, std::regex(R"((^|\n)Codec ID\s*: 36\r?\n)")))
        << media.out;

    // Every stream is still found: the re-checksummed program map sections hold.
    const CommandResult probeAfter =
        runCommand({"ffprobe", "-v", "error", "-show_entries",
                    "stream=index,id,codec_type,codec_name", "-of", "csv=p=0", stream});
    ASSERT_EQ(probeAfter.exitCode, 0) << probeAfter.err;
    EXPECT_FALSE(probeBefore.out.empty());
    EXPECT_EQ(probeAfter.out, probeBefore.out);
    EXPECT_EQ(probeAfter.err, "");

    // libbluray reads the playlist and the clip as UHD HEVC at 2160p, without a complaint.
    const BlurayView bluray = readWithLibbluray(folder());
    if (!bluray.available) GTEST_SKIP() << "built without libbluray";
    EXPECT_NE(blurayBefore.messages.find("unrecognized coding type"), std::string::npos)
        << "the unconverted folder should draw the warning the conversion removes";
    ASSERT_TRUE(bluray.opened);
    EXPECT_GE(bluray.titles, 1);
    EXPECT_EQ(bluray.playlistCodingType, 0x24);
    EXPECT_EQ(bluray.playlistFormat, 8);
    EXPECT_EQ(bluray.clipCodingType, 0x24);
    EXPECT_EQ(bluray.clipFormat, 8);
    EXPECT_EQ(bluray.clipDynamicRange, GetParam().hdr ? 1 : 0);
    EXPECT_EQ(bluray.clipColorSpace, GetParam().hdr ? 2 : 1);
    EXPECT_EQ(bluray.messages.find("unrecognized coding type"), std::string::npos)
        << bluray.messages;

    // And its command-line tool lists the title.
    const CommandResult titles = runCommand({"bd_list_titles", "-l", folder()});
    if (titles.exitCode >= 0) {
        EXPECT_EQ(titles.exitCode, 0);
        EXPECT_TRUE(std::regex_search(titles.out, std::regex(R"(index:\s+1 )"))) << titles.out;
        EXPECT_EQ((titles.out + titles.err).find("unrecognized"), std::string::npos)
            << titles.out << titles.err;
    }
}

std::string caseName(const ::testing::TestParamInfo<DiscCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Discs, Conversion, ::testing::ValuesIn(convertibleDiscCases()), caseName);

// A title whose picture is not 3840x2160 must not be marked 2160p: the job says why, ends as
// failed, and no byte changes.
class RefusedConversion : public Conversion {};

TEST_P(RefusedConversion, SaysWhyAndChangesNoByte) {
    const JobRun run = runJob({folder()});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_EQ(readTree(folder()), m_original);
    const std::vector<std::string> lines(run.log.end() - std::min<std::size_t>(3, run.log.size()),
                                         run.log.end());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind(" - Cannot adjust stream file " + folder() + kStream +
                                 ": the analyser reports its video as 1920x1080, not 3840x2160",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1], "[ts] Failed. No file was changed.");
    EXPECT_EQ(lines[2], "=========Job Ended=========");
}

INSTANTIATE_TEST_SUITE_P(Discs, RefusedConversion, ::testing::ValuesIn(refusedDiscCases()),
                         caseName);

// A folder name need not be valid UTF-8; the analyser opens the stream by its bare name all the
// same, and the job converts the folder as it would under any other name.
TEST(OddFolderName, NotUtf8IsConvertedLikeAnyOtherName) {
    const std::vector<DiscCase> cases = allDiscCases();
    const auto hdr = std::find_if(cases.begin(), cases.end(),
                                  [](const DiscCase& c) { return c.name == "sample_hdr"; });
    if (hdr == cases.end() || hdr->folder.empty()) GTEST_SKIP() << "the hdr sample is not present";
    TempDir dir;
    const std::string folder = dir / "disc \xff\xfe name";
    copyTree(hdr->folder + "/BDMV", folder + "/BDMV");
    const Tree original = readTree(folder);

    const JobRun run = runJob({folder});
    ASSERT_EQ(run.result.exitCode, 0) << run.result.out << run.result.err;
    EXPECT_EQ(run.log, firstJobLog(true));
    expectTree(folder, e2e::expectedTree(original, *hdr, true));
}

}  // namespace
}  // namespace quorvel::test::e2e
