// The command-line contract of quorvel-cli as a user meets it.

#include <gtest/gtest.h>

#include <regex>

#include "e2e/DiscExpectations.h"
#include "e2e/E2eRun.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

TEST(CliContract, HelpAndVersionExitZero) {
    const JobRun help = runJob({"--help"});
    EXPECT_EQ(help.result.exitCode, 0);
    EXPECT_NE(help.result.out.find("Usage: quorvel-cli [--skip-m2ts] SOURCE"), std::string::npos);

    const JobRun version = runJob({"--version"});
    EXPECT_EQ(version.result.exitCode, 0);
    EXPECT_TRUE(std::regex_search(version.result.out, std::regex(R"(^quorvel-cli \d+\.\d+)")))
        << version.result.out;
}

TEST(CliContract, FolderWithoutNavigationFilesIsRefusedWithStatusTwo) {
    TempDir dir;
    makeDirs(dir / "BDMV/STREAM");
    writeText(dir / "BDMV/notes.txt", "not a disc");
    const JobRun run = runJob({dir.path()});
    EXPECT_EQ(run.result.exitCode, 2);
    EXPECT_NE(run.result.err.find("Selected source is not BD format."), std::string::npos)
        << run.result.err;
    EXPECT_TRUE(run.result.out.empty()) << run.result.out;
}

// SOURCE may name the disc folder's BDMV or BDMV/STREAM folder: the job runs on the disc folder.
class SourceSpelling : public ::testing::TestWithParam<std::string> {};

TEST_P(SourceSpelling, ConvertsTheDiscFolder) {
    const std::string sample = samplesDir() + "/hdr";
    if (!exists(sample + "/BDMV")) GTEST_SKIP() << "the sample folder was not written";
    TempDir dir;
    copyTree(sample + "/BDMV", dir / "BDMV");
    const JobRun run = runJob({dir / GetParam()});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.log, firstJobLog(true));
    const ByteString index = readFile(dir / "BDMV/index.bdmv");
    EXPECT_EQ(std::string(index.begin(), index.begin() + 8), "INDX0300");
}

INSTANTIATE_TEST_SUITE_P(Spellings, SourceSpelling,
                         ::testing::Values("BDMV", "BDMV/STREAM", "BDMV/STREAM/"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (c == '/') c = '_';
                             }
                             return "n" + std::to_string(info.index) + "_" + name;
                         });

}  // namespace
}  // namespace quorvel::test::e2e
