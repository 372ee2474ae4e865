// Stands in for the media analyser in tests, on Linux and on Windows alike. It prints a recorded
// report: the file beside it named as itself without its extension plus ".txt" (a copy named
// mediainfo.exe prints mediainfo.txt), every line end written as CR LF as the Windows analyser
// writes them; a last line without a line end stays without one. Its arguments are not read,
// but at least one is needed, as the analyser needs a file to look at. Copy it, do not link it:
// the report is looked for beside the program file itself.
//
// For the runner's edge cases, from the environment:
//   QUORVEL_STAND_IN_EXIT=<n>       exit status after the report (default 0)
//   QUORVEL_STAND_IN_SLEEP_MS=<n>   wait that long after the report before exiting
//   QUORVEL_STAND_IN_STDERR=1       write the report to standard error instead
//   QUORVEL_STAND_IN_RECORD=<file>  write there: the argument count, the first argument and the
//                                   working folder, one a line, before the report

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/ProgramLocation.h"
#include "platform/Terminal.h"

namespace {

namespace stdfs = std::filesystem;

// Exit status when it is used wrongly or its report is missing: neither "finished" status of
// the analyser (0 or 1), so a runner never takes it for a report.
constexpr int kStandInFailed = 2;
constexpr const char* kReportExtension = ".txt";

stdfs::path fromUtf8(const std::string& text) {
    return stdfs::path(std::u8string(text.begin(), text.end()));
}

std::string toUtf8(const stdfs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

long environmentNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

// The report beside the program file: its folder from the system (full, any script), its name
// from how it was started.
stdfs::path reportPath(const char* argv0) {
    const stdfs::path started(argv0);
    const std::string folder = quorvel::platform::programFolder();
    const stdfs::path base = folder.empty() ? started.parent_path() : fromUtf8(folder);
    return base / (started.stem().string() + kReportExtension);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("stand-in analyser: a file to look at is needed\n", stderr);
        return kStandInFailed;
    }
    if (const char* record = std::getenv("QUORVEL_STAND_IN_RECORD"); record != nullptr) {
        std::ofstream out(fromUtf8(record), std::ios::binary | std::ios::trunc);
        out << (argc - 1) << '\n' << argv[1] << '\n' << toUtf8(stdfs::current_path()) << '\n';
    }
    const stdfs::path report = reportPath(argv[0]);
    std::ifstream in(report, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "stand-in analyser: no report at %s\n", toUtf8(report).c_str());
        return kStandInFailed;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::FILE* const to = environmentNumber("QUORVEL_STAND_IN_STDERR", 0) != 0 ? stderr : stdout;
    quorvel::platform::useBinaryMode(to);
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A line end already written as CR LF stays one CR LF.
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n') out += '\r';
        out += text[i];
    }
    std::fwrite(out.data(), 1, out.size(), to);
    std::fflush(to);

    if (const long ms = environmentNumber("QUORVEL_STAND_IN_SLEEP_MS", 0); ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return static_cast<int>(environmentNumber("QUORVEL_STAND_IN_EXIT", 0));
}
