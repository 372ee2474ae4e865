#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

#include "analysis/MediaInfoLocator.h"
#include "app/ConversionDriver.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

// Sets PATH for one test and puts the old value back afterwards.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) m_old = old;
        ::setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() {
        if (m_old) {
            ::setenv("PATH", m_old->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

  private:
    std::optional<std::string> m_old;
};

std::string placeAnalyser(const std::string& folder) {
    test::makeDirs(folder);
    const std::string path = folder + "/" + kMediaInfoExecutable;
    test::writeText(path, "#!/bin/sh\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(MediaInfoLocator, AnalyserBesideTheProgramWinsOverPath) {
    test::TempDir dir;
    const std::string beside = placeAnalyser(dir / "program");
    const std::string onPath = placeAnalyser(dir / "bin");
    ScopedPath path(dir / "empty:" + dir / "bin");
    EXPECT_EQ(locateMediaInfo(dir / "program/"), beside);
    EXPECT_EQ(locateMediaInfo(dir / "elsewhere/"), onPath);
    EXPECT_EQ(locateMediaInfo(""), onPath);
}

// The analyser is started inside the disc's folders, so a relative PATH entry is taken below the
// working folder at start-up and the path kept is a full one.
TEST(MediaInfoLocator, RelativePathEntriesAreTakenBelowTheWorkingFolder) {
    struct Case {
        const char* path;    // PATH, in the working folder
        const char* folder;  // where the analyser is, below the working folder
    };
    const Case cases[] = {{".", ""}, {"", ""}, {"/nonexistent::/nonexistent", ""}, {"bin", "bin"}};
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string placed = placeAnalyser(dir / c.folder);
        char saved[PATH_MAX];
        ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
        ASSERT_EQ(::chdir(dir.path().c_str()), 0);
        std::string found;
        {
            ScopedPath path(c.path);
            found = locateMediaInfo("");
        }
        ASSERT_EQ(::chdir(saved), 0);
        ASSERT_FALSE(found.empty()) << c.path;
        EXPECT_EQ(found.front(), '/') << c.path;
        char real[PATH_MAX];
        char expected[PATH_MAX];
        ASSERT_NE(::realpath(found.c_str(), real), nullptr) << found;
        ASSERT_NE(::realpath(placed.c_str(), expected), nullptr);
        EXPECT_STREQ(real, expected) << c.path;
    }
}

TEST(MediaInfoLocator, NoAnalyserAnywhereGivesEmpty) {
    test::TempDir dir;
    test::makeDirs(dir / "empty");
    ScopedPath path(dir / "empty");
    EXPECT_EQ(locateMediaInfo(dir.path()), "");
}

TEST(FormLoad, MissingAnalyserShowsTheStartupMessageAndEndsTheProgram) {
    test::TempDir dir;
    test::makeDirs(dir / "empty");
    ScopedPath path(dir / "empty");
    test::RecordingWindow window;
    ConversionDriver form(window);

    EXPECT_FALSE(form.Form_Load(dir / "empty/"));
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Error:  MEDIAINFO.EXE was not found in the path.");
    EXPECT_EQ(window.boxes[0].title, "Cannot Run QUORVEL");
    EXPECT_EQ(window.boxes[0].kind, MessageBoxKind::Plain);
    EXPECT_TRUE(window.ended);
}

TEST(FormLoad, FoundAnalyserIsRememberedAndNothingIsShown) {
    test::TempDir dir;
    const std::string beside = placeAnalyser(dir / "program");
    ScopedPath path(dir / "program");
    test::RecordingWindow window;
    ConversionDriver form(window);

    EXPECT_TRUE(form.Form_Load(dir / "program/"));
    EXPECT_EQ(form.state().mediaInfoPath, beside);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_FALSE(window.ended);
}

}  // namespace
}  // namespace quorvel
