#include "platform/WindowsPaths.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel::platform::windows {
namespace {

// Every form of path a user or a caller gives becomes one absolute extended path, so that long
// paths work and the system rewrites nothing behind the program's back.
TEST(WindowsPaths, EveryFormBecomesOneAbsoluteExtendedPath) {
    const std::string longName(300, 'n');
    const struct {
        std::string path;
        const char* working;
        std::string expected;
    } cases[] = {
        // Absolute on a drive, either separator, repeated separators, "." and "..".
        {R"(C:\Discs\Movie\BDMV)", R"(D:\)", R"(\\?\C:\Discs\Movie\BDMV)"},
        {"C:/Discs/Movie/BDMV/", R"(D:\)", R"(\\?\C:\Discs\Movie\BDMV)"},
        {R"(C:\Discs\\.\Old\..\Movie)", R"(D:\)", R"(\\?\C:\Discs\Movie)"},
        {R"(C:\..\..\Movie)", R"(D:\)", R"(\\?\C:\Movie)"},
        {"C:", R"(C:\Work)", R"(\\?\C:\Work)"},
        {R"(C:\)", R"(D:\)", R"(\\?\C:\)"},
        // Trailing dots and spaces of a component go, as the system drops them.
        {R"(C:\Movie. \BDMV.)", R"(D:\)", R"(\\?\C:\Movie\BDMV)"},
        // Relative, rooted and drive-relative paths.
        {"BDMV", R"(C:\Discs\Movie)", R"(\\?\C:\Discs\Movie\BDMV)"},
        {R"(..\Other\BDMV)", R"(C:\Discs\Movie\)", R"(\\?\C:\Discs\Other\BDMV)"},
        {"", R"(C:\Discs)", R"(\\?\C:\Discs)"},
        {R"(\Discs\Movie)", R"(E:\Work)", R"(\\?\E:\Discs\Movie)"},
        {"/work/shared", R"(Z:\tmp)", R"(\\?\Z:\work\shared)"},
        {"c:BDMV", R"(C:\Discs\Movie)", R"(\\?\c:\Discs\Movie\BDMV)"},
        {"D:BDMV", R"(C:\Discs\Movie)", R"(\\?\D:\BDMV)"},
        {"BDMV", R"(\\?\C:\Discs)", R"(\\?\C:\Discs\BDMV)"},
        // Network shares: the share is the root that ".." stops at.
        {R"(\\server\share\Discs\BDMV)", R"(C:\)", R"(\\?\UNC\server\share\Discs\BDMV)"},
        {"//server/share/../../BDMV", R"(C:\)", R"(\\?\UNC\server\share\BDMV)"},
        {R"(\\server\share)", R"(C:\)", R"(\\?\UNC\server\share\)"},
        {R"(BDMV)", R"(\\server\share\Discs)", R"(\\?\UNC\server\share\Discs\BDMV)"},
        {R"(\BDMV)", R"(\\?\UNC\server\share\Discs)", R"(\\?\UNC\server\share\BDMV)"},
        // Already extended or a device: kept exactly.
        {R"(\\?\C:\Movie. \x/y)", R"(D:\)", R"(\\?\C:\Movie. \x/y)"},
        {R"(\\.\PhysicalDrive0)", R"(D:\)", R"(\\.\PhysicalDrive0)"},
        // Past 260 characters nothing changes but the length.
        {"C:\\Discs\\" + longName + "\\BDMV", R"(D:\)",
         "\\\\?\\C:\\Discs\\" + longName + "\\BDMV"},
        // Nothing absolute to build on.
        {"BDMV", "", ""},
        {"BDMV", "relative\\folder", ""},
        {R"(\\server)", R"(C:\)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " in " + c.working);
        EXPECT_EQ(extendedPath(c.path, c.working), c.expected);
    }
}

TEST(WindowsPaths, ChildAndDisplayFormsAddOrDropOnlyTheSeparatorAndThePrefix) {
    const struct {
        const char* path;
        const char* display;
    } cases[] = {
        {R"(\\?\C:\Discs\BDMV)", R"(C:\Discs\BDMV)"},
        {R"(\\?\UNC\server\share\BDMV)", R"(\\server\share\BDMV)"},
        {R"(C:\plain)", R"(C:\plain)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(displayPath(c.path), c.display);
    }
    EXPECT_EQ(childPath(R"(\\?\C:\Discs)", "index.bdmv"), R"(\\?\C:\Discs\index.bdmv)");
    EXPECT_EQ(childPath(R"(\\?\C:\)", "BDMV"), R"(\\?\C:\BDMV)");
}

// The forms the process and location services give the system and take back from it.
TEST(WindowsPaths, ProcessPathsTakeTheExtendedFormOnlyPastTheUsualLimit) {
    const struct {
        const char* path;
        bool absolute;
    } absolutes[] = {
        {"C:\\x", true}, {"c:/x", true}, {"//server/share", true}, {"\\\\server\\share", true},
        {"C:x", false},   {"\\x", false}, {"/x", false},           {"x", false},
        {"", false},      {"1:\\x", false},
    };
    for (const auto& c : absolutes) EXPECT_EQ(isAbsolutePath(c.path), c.absolute) << c.path;

    const std::string longName(260, 'n');
    // 130 characters of two UTF-8 bytes each: 260 bytes, but 130 UTF-16 units.
    std::string cyrillic;
    for (int k = 0; k < 130; ++k) cyrillic += "\xD0\x96";
    const struct {
        std::string path;
        std::string system;
    } systems[] = {
        {"C:/Program Files/x.exe", "C:\\Program Files\\x.exe"},
        {"C:/" + cyrillic, "C:\\" + cyrillic},
        {"C:/" + longName + "/x.exe", "\\\\?\\C:\\" + longName + "\\x.exe"},
        {"//server/share/" + longName, "\\\\?\\UNC\\server\\share\\" + longName},
        {"\\\\?\\C:\\" + longName, "\\\\?\\C:\\" + longName},
        {"rel/" + longName + "/x", "rel\\" + longName + "\\x"},
    };
    for (const auto& c : systems) EXPECT_EQ(systemPath(c.path), c.system) << c.path;

    EXPECT_EQ(programPath("\\\\?\\UNC\\server\\share\\x"), "//server/share/x");
    EXPECT_EQ(programPath("\\\\?\\C:\\Discs\\BDMV"), "C:/Discs/BDMV");
    EXPECT_EQ(programPath("C:\\plain"), "C:/plain");
}

// Links and junctions stand for another name and are refused; placeholders of cloud storage and
// deduplicated files are the file itself.
TEST(WindowsPaths, OnlyNameSurrogateReparsePointsAreRefused) {
    const struct {
        const char* what;
        std::uint32_t tag;
        ReparseAction action;
    } cases[] = {
        {"symbolic link", 0xA000000Cu, ReparseAction::Refuse},
        {"junction", 0xA0000003u, ReparseAction::Refuse},
        {"Linux-side symbolic link", 0xA000001Du, ReparseAction::Refuse},
        {"cloud placeholder", 0x9000001Au, ReparseAction::Open},
        {"deduplicated file", 0x80000013u, ReparseAction::Open},
        {"single-instance file", 0x80000012u, ReparseAction::Open},
        {"application execution alias", 0x8000001Bu, ReparseAction::Open},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(reparseAction(c.tag), c.action);
    }
}

}  // namespace
}  // namespace quorvel::platform::windows
