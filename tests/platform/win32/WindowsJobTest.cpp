// What only Windows does to a job, as far as Wine can show it: quorvel-cli.exe run on a small
// disc, with the stand-in analyser on PATH, against a file another program holds open, a
// read-only file, folder names in other scripts, and an analyser built with a window.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "analysis/ReportBuilder.h"
#include "platform/WindowsProgram.h"
#include "support/DiscBuilder.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::field;

const std::string kCli = QUORVEL_CLI_PATH;
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
// The program image's offset of its PE headers, and where their subsystem field lies after it.
constexpr std::size_t kPeOffsetField = 0x3C;
constexpr std::size_t kSubsystemAfterSignature = 4 + 20 + 68;

std::wstring wide(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          length);
    return out;
}

// A 2160p HDR video track: what the analyser says of a stream a job converts.
std::string uhdReport() {
    return field("ID", "4113 (0x1011)") + field("Codec ID", "36") +
           field("Width", "3 840 pixels") + field("Height", "2 160 pixels") +
           field("Mastering display color primaries", "BT.2020") +
           field("Maximum Content Light Level", "1000 cd/m2");
}

// Turns a copy of the stand-in into a program built with a window, as the MediaInfo window
// program is: only the subsystem field of its PE headers changes.
void makeWindowProgram(const std::string& path) {
    ByteString image = test::readFile(path);
    ASSERT_GT(image.size(), kPeOffsetField + 4);
    const std::size_t headers = image[kPeOffsetField] | (image[kPeOffsetField + 1] << 8) |
                                (image[kPeOffsetField + 2] << 16) |
                                (static_cast<std::size_t>(image[kPeOffsetField + 3]) << 24);
    const std::size_t field = headers + kSubsystemAfterSignature;
    ASSERT_GT(image.size(), field + 2);
    image[field] = static_cast<std::uint8_t>(platform::kPeSubsystemWindowsGui);
    image[field + 1] = 0;
    test::writeFile(path, image);
}

struct JobFolders {
    std::string disc;   // the disc folder, ending with '/'
    std::string tools;  // the folder on PATH that holds mediainfo.exe
    HANDLE held = INVALID_HANDLE_VALUE;
};

struct Case {
    const char* name;
    const char* folder;  // of the disc, below the test's folder
    std::function<void(JobFolders&)> prepare;
    int exitCode;
    const char* line;     // a log line holds this ("" for none)
    const char* file;     // and names this file of the disc ("" for none)
    bool converted;       // index.bdmv has the UHD version afterwards
    bool bdmvWithBackslashes = false;  // the source given as ...\BDMV\ (the system's own form)
};

TEST(WindowsJob, RefusesFilesItMustNotChangeAndConvertsFoldersOfAnyName) {
    const Case cases[] = {
        {"a playlist held open without write sharing", "disc",
         [](JobFolders& s) {
             s.held = ::CreateFileW(wide(s.disc + "BDMV/PLAYLIST/00000.mpls").c_str(),
                                    GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
             ASSERT_NE(s.held, INVALID_HANDLE_VALUE);
         },
         kExitFailure, "it is in use by another program", "BDMV/PLAYLIST/00000.mpls", false},
        {"a read-only clip information file", "disc",
         [](JobFolders& s) {
             ASSERT_TRUE(::SetFileAttributesW(wide(s.disc + "BDMV/CLIPINF/00000.clpi").c_str(),
                                              FILE_ATTRIBUTE_READONLY));
         },
         kExitFailure, "Cannot adjust", "BDMV/CLIPINF/00000.clpi", false},
        {"Cyrillic, CJK and emoji folder names", "Диск 映画 🎬/BD", [](JobFolders&) {}, kExitSuccess,
         "Job Ended", "", true},
        {"the BDMV folder given with backslashes", "disc", [](JobFolders&) {}, kExitSuccess,
         "Job Ended", "", true, true},
        {"an analyser with a window", "disc",
         [](JobFolders& s) { makeWindowProgram(s.tools + "mediainfo.exe"); }, kExitFailure,
         "is MediaInfo with a window; the command-line MediaInfo is needed", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        JobFolders s;
        s.disc = dir / c.folder + "/";
        s.tools = dir / "tools/";
        test::makeDirs(s.tools);
        test::installStandInAnalyser(s.tools, uhdReport());
        test::makeDisc(s.disc);
        const ByteString index = test::readFile(s.disc + "BDMV/index.bdmv");
        c.prepare(s);
        if (HasFatalFailure()) return;

        const auto started = std::chrono::steady_clock::now();
        std::string source = s.disc;
        if (c.bdmvWithBackslashes) {
            source += "BDMV/";
            std::replace(source.begin(), source.end(), '/', '\\');
        }
        const test::CommandResult result = test::runCommand({kCli, source}, {"PATH=" + s.tools});
        if (s.held != INVALID_HANDLE_VALUE) ::CloseHandle(s.held);
        ::SetFileAttributesW(wide(s.disc + "BDMV/CLIPINF/00000.clpi").c_str(),
                             FILE_ATTRIBUTE_NORMAL);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));

        EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
        bool found = false;
        for (const std::string& line : test::splitLines(result.out + result.err)) {
            found = found || (line.find(c.line) != std::string::npos &&
                              line.find(c.file) != std::string::npos);
            // The log writes '/' between names, the disc's folder included.
            EXPECT_EQ(line.find('\\'), std::string::npos) << line;
        }
        EXPECT_TRUE(found) << "no line with \"" << c.line << "\" and " << c.file << ":\n"
                           << result.out << result.err;
        const ByteString after = test::readFile(s.disc + "BDMV/index.bdmv");
        EXPECT_EQ(after != index, c.converted);
        if (c.converted) EXPECT_EQ(after[5], '3');
    }
}

}  // namespace
}  // namespace quorvel
