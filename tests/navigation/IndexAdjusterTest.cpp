// The index and MovieObject adjuster: the extension guard, missing and short files, and a cut
// between appending the block and storing its address.

#include <gtest/gtest.h>

#include "navigation/IndexAdjuster.h"
#include "navigation/NavigationTestSupport.h"

namespace quorvel::test::nav {
namespace {

class IndexAdjuster : public ::testing::Test {
  protected:
    bool run() { return h.bdmv(index, movieObject); }

    static ByteString extended(const ByteString& original) {
        ByteString b = original;
        putAt(b, 0, asciiBytes("INDX0300"));
        put32(b, 12, static_cast<std::uint32_t>(original.size()));
        append(b, uhdIndexBlock());
        return b;
    }

    static ByteString remarkedMovieObject(const ByteString& original) {
        ByteString b = original;
        putAt(b, 0, asciiBytes("MOBJ0300"));
        return b;
    }

    // One refusal line about `path`, and no other.
    void expectRefusal(const std::string& path, const std::string& reason) {
        const auto lines = h.lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].rfind(" - Cannot adjust ", 0)) << lines[0];
        EXPECT_NE(std::string::npos, lines[0].find(path)) << lines[0];
        EXPECT_NE(std::string::npos, lines[0].find(reason)) << lines[0];
    }

    TempDir dir;
    std::string index = dir / "index.bdmv";
    std::string movieObject = dir / "MovieObject.bdmv";
    StepRunner h;
};

TEST_F(IndexAdjuster, IndexWithTheUhdBlockOnlyGetsItsVersion) {
    ByteString original = buildIndex(uhdIndexBlock());
    writeFile(index, original);
    writeFile(movieObject, buildMovieObject());

    EXPECT_TRUE(run());
    putAt(original, 0, asciiBytes("INDX0300"));
    EXPECT_SAME_BYTES(original, readFile(index));
    EXPECT_EQ(std::vector<std::string>({" - Checked/Updated version in Index file...",
                                        " - Checked/Updated version in MovieObject file..."}),
              h.lines());
}

TEST_F(IndexAdjuster, Version0300IsKeptAndTheBlockFollowsTheOldEnd) {
    ByteString original = buildIndex();
    putAt(original, 4, asciiBytes("0300"));
    writeFile(index, original);
    writeFile(movieObject, remarkedMovieObject(buildMovieObject()));

    EXPECT_TRUE(run());
    EXPECT_SAME_BYTES(extended(original), readFile(index));
    EXPECT_SAME_BYTES(remarkedMovieObject(buildMovieObject()), readFile(movieObject));
}

TEST_F(IndexAdjuster, MissingIndexOrMovieObjectIsRefusedAndNothingIsCreated) {
    const ByteString movieObjectBytes = buildMovieObject();
    writeFile(movieObject, movieObjectBytes);
    EXPECT_FALSE(run());
    EXPECT_FALSE(exists(index));
    EXPECT_SAME_BYTES(movieObjectBytes, readFile(movieObject));
    expectRefusal(index, missingFileReason());

    h.clearLog();
    const std::string indexOnly = dir / "other/index.bdmv";
    makeDirs(dir / "other");
    const ByteString indexBytes = buildIndex();
    writeFile(indexOnly, indexBytes);
    EXPECT_FALSE(h.bdmv(indexOnly, dir / "other/MovieObject.bdmv"));
    EXPECT_FALSE(exists(dir / "other/MovieObject.bdmv"));
    EXPECT_SAME_BYTES(indexBytes, readFile(indexOnly));
    expectRefusal("other/MovieObject.bdmv", missingFileReason());
}

TEST_F(IndexAdjuster, ShortIndexIsRefusedUnchanged) {
    for (const std::size_t size : {0u, 8u, 15u}) {
        SCOPED_TRACE(size);
        h.clearLog();
        const ByteString original = buildIndex({}, size);
        const ByteString movieObjectBytes = buildMovieObject();
        writeFile(index, original);
        writeFile(movieObject, movieObjectBytes);

        EXPECT_FALSE(run());
        EXPECT_SAME_BYTES(original, readFile(index));
        EXPECT_SAME_BYTES(movieObjectBytes, readFile(movieObject));
        expectRefusal(index, "shorter than its 16-byte header");
    }
}

TEST_F(IndexAdjuster, ShortMovieObjectIsRefusedBeforeTheIndexIsTouched) {
    const ByteString original = buildIndex();
    const ByteString movieObjectBytes = buildMovieObject(7);
    writeFile(index, original);
    writeFile(movieObject, movieObjectBytes);

    EXPECT_FALSE(run());
    EXPECT_SAME_BYTES(original, readFile(index));
    EXPECT_SAME_BYTES(movieObjectBytes, readFile(movieObject));
    expectRefusal(movieObject, "shorter than its 8-byte header");
}

TEST_F(IndexAdjuster, RerunAfterACutBetweenBlockAndAddressGivesTheCompleteFile) {
    const ByteString original = buildIndex();
    const ByteString complete = extended(original);
    // The block reached the disc; its address did not.
    ByteString cut = original;
    putAt(cut, 0, asciiBytes("INDX0300"));
    append(cut, uhdIndexBlock());
    writeFile(index, cut);
    writeFile(movieObject, buildMovieObject());

    EXPECT_TRUE(run());
    EXPECT_SAME_BYTES(complete, readFile(index));
    EXPECT_EQ(" - Added UHD-BD extension...", h.lines().at(0));
}

TEST_F(IndexAdjuster, IndexThatCannotBeOpenedForWritingGivesFalseWithAReason) {
    makeDirs(index);  // a folder where the index should be
    const ByteString movieObjectBytes = buildMovieObject();
    writeFile(movieObject, movieObjectBytes);

    EXPECT_FALSE(run());
    EXPECT_SAME_BYTES(movieObjectBytes, readFile(movieObject));
    expectRefusal(index, "it is not a regular file");
}

}  // namespace
}  // namespace quorvel::test::nav
