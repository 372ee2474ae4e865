// quorvel-cli: the conversion without a window.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "app/Quorvel.h"
#include "app/cli/CliWindow.h"
#include "fileio/FileSystem.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAborted = 3;

void printUsage(std::FILE* to) {
    std::fputs(
        "Usage: quorvel-cli [--skip-m2ts] SOURCE\n"
        "\n"
        "Converts, in place, a Blu-ray folder whose video is HEVC into an Ultra HD Blu-ray\n"
        "structure. SOURCE is the disc folder (the one that holds BDMV), its BDMV folder, or\n"
        "its BDMV/STREAM folder.\n"
        "\n"
        "  --skip-m2ts  leave the stream file alone (navigation files only)\n"
        "  --help       show this text\n"
        "  --version    show the version\n"
        "\n"
        "Exit status: 0 success, 1 failure, 2 usage error, refused source or missing analyser,\n"
        "3 aborted (SIGINT or SIGTERM).\n",
        to);
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    std::vector<char> buffer(4096);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) return path;
    std::string cwd(buffer.data());
    if (cwd.back() != '/') cwd += '/';
    return path == "." ? cwd : cwd + path;
}

}  // namespace

int main(int argc, char** argv) {
    bool skipM2ts = false;
    std::string source;
    bool haveSource = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return kExitSuccess;
        }
        if (arg == "--version") {
            std::printf("quorvel-cli %s\n", QUORVEL_VERSION);
            return kExitSuccess;
        }
        if (arg == "--skip-m2ts") {
            skipM2ts = true;
        } else if (arg == "--") {
            if (i + 1 < argc && !haveSource && i + 2 == argc) {
                source = argv[++i];
                haveSource = true;
            } else {
                printUsage(stderr);
                return kExitUsage;
            }
        } else if (arg.size() > 1 && arg.front() == '-') {
            std::fprintf(stderr, "quorvel-cli: unknown option %s\n\n", arg.c_str());
            printUsage(stderr);
            return kExitUsage;
        } else if (!haveSource) {
            source = arg;
            haveSource = true;
        } else {
            std::fputs("quorvel-cli: only one SOURCE may be given\n\n", stderr);
            printUsage(stderr);
            return kExitUsage;
        }
    }
    if (!haveSource || source.empty()) {
        printUsage(stderr);
        return kExitUsage;
    }

    try {
        quorvel::CliWindow window(stdout, stderr, ::isatty(STDERR_FILENO) == 1);
        quorvel::Quorvel core(window);
        window.attach(&core);

        if (!core.Form_Load(quorvel::fs::programFolder())) return kExitUsage;

        const std::string folder = quorvel::Quorvel::sourceFromSelection(absolutePath(source));
        if (!quorvel::Quorvel::srcVerified(folder)) {
            std::fputs("Selected source is not BD format.\n", stderr);
            return kExitUsage;
        }
        window.setSourcePath(folder);
        window.setSkipM2ts(skipM2ts);

        quorvel::CliWindow::installSignalHandlers();
        core.Command1_Click();
        window.finishProgressLine();
        std::fflush(stdout);

        switch (core.lastOutcome()) {
            case quorvel::JobOutcome::Succeeded:
                return kExitSuccess;
            case quorvel::JobOutcome::Aborted:
                return kExitAborted;
            default:
                return kExitFailure;
        }
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "quorvel-cli: %s\n", error.what());
        return kExitFailure;
    } catch (...) {
        std::fflush(stdout);
        std::fputs("quorvel-cli: unexpected error\n", stderr);
        return kExitFailure;
    }
}
