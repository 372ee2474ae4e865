#include <gtest/gtest.h>

#include "app/ConversionDriver.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

TEST(SourceSelection, APickedBdmvOrStreamFolderBecomesTheDiscFolder) {
    struct Case {
        const char* picked;
        const char* source;
    };
    const Case cases[] = {
        {"/discs/Movie", "/discs/Movie/"},
        {"/discs/Movie/BDMV", "/discs/Movie/"},
        {"/discs/Movie/bdmv/", "/discs/Movie/"},
        {"/discs/Movie/BDMV//", "/discs/Movie/"},
        {"/discs/Movie/BDMV/STREAM", "/discs/Movie/"},
        {"/discs/Movie/Bdmv/Stream/", "/discs/Movie/"},
        {"/discs/Movie/STREAM/", "/discs/Movie/STREAM/"},
        {"/discs/Movie/BDMV/STREAM/.", "/discs/Movie/"},
        {"/discs/Movie/BDMV/./", "/discs/Movie/"},
        {"", ""},
#ifdef _WIN32
        // The system's own separator, drive letters and shares; the program writes '/'.
        {"X:\\disc\\BDMV", "X:/disc/"},
        {"X:\\disc\\BDMV\\STREAM\\", "X:/disc/"},
        {"X:\\disc\\bdmv/stream\\\\", "X:/disc/"},
        {"\\\\server\\share\\disc\\BDMV", "//server/share/disc/"},
        {"X:\\", "X:/"},
#else
        // A backslash is a letter of a name here.
        {"/discs/Movie\\BDMV", "/discs/Movie\\BDMV/"},
#endif
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConversionDriver::sourceFromSelection(c.picked), c.source) << c.picked;
    }
}

TEST(SourceSelection, TheFourKindsOfFilesMustAllBePresent) {
    TempDir dir;
    test::makeSkeletonDisc(dir.path());
    EXPECT_TRUE(ConversionDriver::srcVerified(dir.path()));
    EXPECT_FALSE(ConversionDriver::srcVerified(dir / "BDMV/"));
    EXPECT_FALSE(ConversionDriver::srcVerified(dir / "missing/"));

    // Without MovieObject.bdmv the index is the folder's only .bdmv file.
    for (const char* file : {"BDMV/index.bdmv", "BDMV/PLAYLIST/00000.mpls",
                             "BDMV/CLIPINF/00000.clpi", "BDMV/STREAM/00000.m2ts"}) {
        TempDir partial;
        test::makeSkeletonDisc(partial.path(), false);
        std::remove((partial / "BDMV/MovieObject.bdmv").c_str());
        std::remove((partial / file).c_str());
        EXPECT_FALSE(ConversionDriver::srcVerified(partial.path())) << "without " << file;
    }
}

TEST(SourceSelection, AFolderNamedLikeAFileDoesNotCount) {
    TempDir dir;
    test::makeSkeletonDisc(dir.path(), false);
    std::remove((dir / "BDMV/index.bdmv").c_str());
    std::remove((dir / "BDMV/MovieObject.bdmv").c_str());
    test::makeDirs(dir / "BDMV/fake.bdmv");
    test::writeText(dir / "BDMV/.hidden.bdmv", "");
    EXPECT_FALSE(ConversionDriver::srcVerified(dir.path()));
}

}  // namespace
}  // namespace quorvel
