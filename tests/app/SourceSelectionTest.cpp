#include <gtest/gtest.h>

#include "app/Quorvel.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

void makeFourKinds(const std::string& root) {
    test::makeDirs(root + "BDMV/PLAYLIST");
    test::makeDirs(root + "BDMV/CLIPINF");
    test::makeDirs(root + "BDMV/STREAM");
    test::writeText(root + "BDMV/index.bdmv", "");
    test::writeText(root + "BDMV/PLAYLIST/00000.mpls", "");
    test::writeText(root + "BDMV/CLIPINF/00000.clpi", "");
    test::writeText(root + "BDMV/STREAM/00000.m2ts", "");
}

TEST(SourceSelection, APickedBdmvOrStreamFolderBecomesTheDiscFolder) {
    EXPECT_EQ(Quorvel::sourceFromSelection("/discs/Movie"), "/discs/Movie/");
    EXPECT_EQ(Quorvel::sourceFromSelection("/discs/Movie/BDMV"), "/discs/Movie/");
    EXPECT_EQ(Quorvel::sourceFromSelection("/discs/Movie/bdmv/"), "/discs/Movie/");
    EXPECT_EQ(Quorvel::sourceFromSelection("/discs/Movie/BDMV/STREAM"), "/discs/Movie/");
    EXPECT_EQ(Quorvel::sourceFromSelection("/discs/Movie/Bdmv/Stream/"), "/discs/Movie/");
    EXPECT_EQ(Quorvel::sourceFromSelection("/discs/Movie/STREAM/"), "/discs/Movie/STREAM/");
    EXPECT_EQ(Quorvel::sourceFromSelection(""), "");
}

TEST(SourceSelection, TheFourKindsOfFilesMustAllBePresent) {
    TempDir dir;
    makeFourKinds(dir.path());
    EXPECT_TRUE(Quorvel::srcVerified(dir.path()));
    EXPECT_FALSE(Quorvel::srcVerified(dir / "BDMV/"));
    EXPECT_FALSE(Quorvel::srcVerified(dir / "missing/"));

    for (const char* file : {"BDMV/index.bdmv", "BDMV/PLAYLIST/00000.mpls",
                             "BDMV/CLIPINF/00000.clpi", "BDMV/STREAM/00000.m2ts"}) {
        TempDir partial;
        makeFourKinds(partial.path());
        std::remove((partial / file).c_str());
        EXPECT_FALSE(Quorvel::srcVerified(partial.path())) << "without " << file;
    }
}

TEST(SourceSelection, AFolderNamedLikeAFileDoesNotCount) {
    TempDir dir;
    makeFourKinds(dir.path());
    std::remove((dir / "BDMV/index.bdmv").c_str());
    test::makeDirs(dir / "BDMV/fake.bdmv");
    test::writeText(dir / "BDMV/.hidden.bdmv", "");
    EXPECT_FALSE(Quorvel::srcVerified(dir.path()));
}

}  // namespace
}  // namespace quorvel
