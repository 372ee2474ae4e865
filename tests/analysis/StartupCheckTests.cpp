#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "analysis/MediaInfoLocator.h"
#include "app/ConversionDriver.h"
#include "platform/ProgramLocation.h"
#include "platform/TestOs.h"
#include "support/RecordingHost.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

// Sets PATH for one test and puts the old value back afterwards.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) m_old = old;
        test::os::setEnvironmentVariable("PATH", value);
    }
    ~ScopedPath() {
        test::os::setEnvironmentVariable("PATH", m_old);
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

  private:
    std::optional<std::string> m_old;
};

#ifdef _WIN32
constexpr const char* kPathListSeparator = ";";
// Windows searches only PATH's entries: an empty one names nothing.
constexpr bool kEmptyEntryIsWorkingFolder = false;
#else
constexpr const char* kPathListSeparator = ":";
constexpr bool kEmptyEntryIsWorkingFolder = true;
#endif

std::string placeAnalyser(const std::string& folder) {
    test::makeDirs(folder);
    const std::string path = folder + "/" + kMediaInfoExecutable;
    test::writeText(path, "#!/bin/sh\n");
    test::makeExecutable(path);
    return path;
}

TEST(MediaInfoLocator, AnalyserBesideTheProgramWinsOverPath) {
    test::TempDir dir;
    const std::string beside = placeAnalyser(dir / "program");
    const std::string onPath = placeAnalyser(dir / "bin");
    ScopedPath path(dir / "empty" + kPathListSeparator + dir / "bin");
    EXPECT_EQ(locateMediaInfo(dir / "program/"), beside);
    EXPECT_EQ(locateMediaInfo(dir / "elsewhere/"), onPath);
    EXPECT_EQ(locateMediaInfo(""), onPath);
}

// The analyser is started inside the disc's folders, so a relative PATH entry is taken below the
// working folder at start-up and the path kept is a full one.
TEST(MediaInfoLocator, RelativePathEntriesAreTakenBelowTheWorkingFolder) {
    struct Case {
        std::string path;    // PATH, in the working folder
        const char* folder;  // where the analyser is, below the working folder
        bool found;
    };
    const std::string sep = kPathListSeparator;
    const Case cases[] = {{".", "", true},
                          {"", "", kEmptyEntryIsWorkingFolder},
                          {"/nonexistent" + sep + sep + "/nonexistent", "", kEmptyEntryIsWorkingFolder},
                          {"bin", "bin", true}};
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string placed = placeAnalyser(dir / c.folder);
        const std::filesystem::path saved = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        std::string found;
        {
            ScopedPath path(c.path);
            found = locateMediaInfo("");
        }
        std::filesystem::current_path(saved);
        if (!c.found) {
            EXPECT_EQ(found, "") << c.path;
            continue;
        }
        ASSERT_FALSE(found.empty()) << c.path;
        EXPECT_TRUE(platform::isAbsolutePath(found)) << c.path;
        EXPECT_EQ(std::filesystem::canonical(found), std::filesystem::canonical(placed)) << c.path;
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
    test::RecordingHost window;
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
    test::RecordingHost window;
    ConversionDriver form(window);

    EXPECT_TRUE(form.Form_Load(dir / "program/"));
    EXPECT_EQ(form.mediaInfoPath(), beside);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_FALSE(window.ended);
}

}  // namespace
}  // namespace quorvel
