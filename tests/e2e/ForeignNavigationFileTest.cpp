// A sample disc with one navigation file this conversion is not for: quorvel-cli with the real
// analyser refuses the job, names the file and why, and no byte of the disc changes. The
// navigation unit tests pin every kind of foreign file; here the first file the job would write
// and the last one it checks stand for them, as the whole program meets them.

#include <gtest/gtest.h>

#include <functional>

#include "e2e/DiscExpectations.h"
#include "e2e/E2eRun.h"
#include "fileio/BigEndian.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

struct ForeignCase {
    const char* name;
    const char* file;  // below the disc folder
    const char* kind;  // as the refusal line names it
    std::function<void(ByteString&)> damage;
    const char* reason;  // the start of the reason
};

void PrintTo(const ForeignCase& c, std::ostream* os) {
    *os << c.name;
}

class ForeignNavigationFile : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(ForeignNavigationFile, RefusesTheJobAndChangesNoByte) {
    const std::string sample = samplesDir() + "/hdr";
    if (!exists(sample + "/BDMV")) GTEST_SKIP() << "the build did not write " << sample;
    TempDir dir;
    copyTree(sample + "/BDMV", dir / "BDMV");
    const std::string file = dir.path() + GetParam().file;
    ByteString bytes = readFile(file);
    GetParam().damage(bytes);
    writeFile(file, bytes);
    const Tree before = readTree(dir.path());

    const JobRun run = runJob({dir.path()});
    EXPECT_EQ(1, run.result.exitCode) << run.result.out << run.result.err;
    EXPECT_EQ(before, readTree(dir.path()));
    ASSERT_GE(run.log.size(), 3u) << run.result.out;
    const std::string& refusal = run.log[run.log.size() - 3];
    EXPECT_EQ(0u, refusal.rfind(" - Cannot adjust " + std::string(GetParam().kind) + " " + file +
                                    ": " + GetParam().reason,
                                0))
        << refusal;
    EXPECT_EQ('.', refusal.back());
    EXPECT_EQ("[ts] Failed. No file was changed.", run.log[run.log.size() - 2]);
}

// Extension data of another kind: one entry (ID1 1, ID2 2) with 16 bytes of data.
void appendForeignExtension(ByteString& mpls) {
    const ByteString address = be32ToBytes(static_cast<std::int32_t>(mpls.size()));
    std::copy(address.begin(), address.end(), mpls.begin() + 16);
    const ByteString block = {0, 0, 0, 0x24, 0, 0, 0, 0x18, 0, 0, 0, 1, 0, 1, 0, 2,
                              0, 0, 0, 0x18, 0, 0, 0, 0x10};
    mpls.insert(mpls.end(), block.begin(), block.end());
    mpls.insert(mpls.end(), 16, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ForeignNavigationFile,
    ::testing::Values(
        ForeignCase{"IndexOfAnotherType", "BDMV/index.bdmv", "index file",
                    [](ByteString& b) { std::copy_n("JUNK", 4, b.begin()); },
                    "its type code is \"JUNK\", not \"INDX\""},
        ForeignCase{"PlaylistWithForeignExtensionData", "BDMV/PLAYLIST/00000.mpls", "playlist",
                    appendForeignExtension, "it carries extension data (at offset "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel::test::e2e
