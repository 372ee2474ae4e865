// quorvel-cli: the conversion, and the check that looks before it writes, without a window.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "app/ConversionDriver.h"
#include "app/cli/CheckReport.h"
#include "app/cli/CliWindow.h"
#include "platform/Interrupt.h"
#include "platform/ProgramLocation.h"
#include "platform/Terminal.h"

namespace {

using namespace quorvel::cli;

void printUsage(std::FILE* to) {
    std::fputs(
        "Usage: quorvel-cli [--skip-m2ts] SOURCE...\n"
        "  or:  quorvel-cli --check [--json] [--skip-m2ts] SOURCE...\n"
        "  or:  quorvel-cli --undo [--check [--json]] SOURCE...\n"
        "\n"
        "Converts, in place, a Blu-ray folder whose video is HEVC into an Ultra HD Blu-ray\n"
        "structure. SOURCE is the disc folder (the one that holds BDMV), its BDMV folder, or\n"
        "its BDMV/STREAM folder. Several SOURCEs are converted one after the other, each with\n"
        "its own job log, followed by one summary line per SOURCE.\n"
        "\n"
        "  --skip-m2ts  leave the stream files alone (navigation files only)\n"
        "  --check      change nothing: tell, field by field, what a job would change, that the\n"
        "               folder is converted already, or why a job would refuse it\n"
        "  --json       with --check: the same facts as one JSON document\n"
        "  --undo       restore every file a conversion changed to its bytes before the first\n"
        "               job, from the undo record the job wrote, then remove the record; with\n"
        "               --check: list what an undo would restore, writing nothing\n"
        "  --undo-dir DIR  with a job, a check or an undo: keep and look for undo records in DIR\n"
        "               instead of the user's state folder\n"
        "  --help       show this text\n"
        "  --version    show the version\n"
        "\n"
        "Exit status of a conversion: 0 every job succeeded, 1 a job failed or was refused\n"
        "(or found another job or check working on its folder), 2 usage error, a folder that\n"
        "is not a Blu-ray folder or a missing analyser, 3 stopped by SIGINT or SIGTERM (run the\n"
        "job again to complete it).\n"
        "Exit status of --check: 0 nothing to change, 4 a job would change a folder, 1 a job\n"
        "would refuse a folder or is working on it, 2 as above, 3 stopped; the first of 3, 2,\n"
        "1, 4 that applies.\n"
        "Exit status of --undo: 0 every folder was restored, 1 an undo failed or was refused or\n"
        "a folder has no undo record, 2 and 3 as above. Of --undo --check: 0 nothing to\n"
        "restore, 4 an undo would restore a folder, 1 an undo would refuse one.\n",
        to);
}

// The folder as given, absolute, with "." and ".." and links resolved when it exists.
std::string absolutePath(const std::string& path) {
    if (std::string resolved = quorvel::platform::resolvedPath(path); !resolved.empty()) {
        return resolved;
    }
    return quorvel::platform::absolutePath(path);
}

struct Options {
    bool skipM2ts = false;
    bool check = false;
    bool json = false;
    bool undo = false;
    // Where undo records are kept and looked for; empty: the user's state folder.
    std::string undoDir;
    std::vector<std::string> sources;
};

// Parses the command line; returns an exit status when the program ends here.
int parse(int argc, char** argv, Options& options) {
    bool onlySources = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlySources || arg.empty() || arg.front() != '-' || arg == "-") {
            options.sources.push_back(arg);
        } else if (arg == "--") {
            onlySources = true;
        } else if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return kExitSuccess;
        } else if (arg == "--version") {
            std::printf("quorvel-cli %s\n", QUORVEL_VERSION);
            return kExitSuccess;
        } else if (arg == "--skip-m2ts") {
            options.skipM2ts = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--undo") {
            options.undo = true;
        } else if (arg == "--undo-dir") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fputs("quorvel-cli: --undo-dir needs a folder\n\n", stderr);
                printUsage(stderr);
                return kExitUsage;
            }
            options.undoDir = absolutePath(argv[++i]);
        } else {
            std::fprintf(stderr, "quorvel-cli: unknown option %s\n\n", arg.c_str());
            printUsage(stderr);
            return kExitUsage;
        }
    }
    const bool emptySource = std::any_of(options.sources.begin(), options.sources.end(),
                                         [](const std::string& s) { return s.empty(); });
    const char* conflict = nullptr;
    if (options.json && !options.check) conflict = "--json needs --check";
    // An undo restores every file the conversion changed; leaving the streams out would leave a
    // disc that is neither the original nor the conversion.
    if (options.undo && options.skipM2ts) conflict = "--undo cannot be combined with --skip-m2ts";
    if (options.sources.empty() || emptySource || conflict != nullptr) {
        if (conflict != nullptr) std::fprintf(stderr, "quorvel-cli: %s\n\n", conflict);
        printUsage(stderr);
        return kExitUsage;
    }
    return -1;
}

// The disc folder the given path names. A trailing BDMV or BDMV/STREAM is the disc's own and is
// cut off before links are resolved, so that a link in its place stays in view of the job, which
// refuses it; links above the disc folder are the user's choice.
std::string sourceFolder(const std::string& given) {
    std::string source =
        quorvel::ConversionDriver::sourceFromSelection(quorvel::platform::absolutePath(given));
    if (source.empty()) return source;
    source = absolutePath(source);
    if (source.back() != '/') source += '/';
    return source;
}

int runChecks(quorvel::ConversionDriver& core, quorvel::CliWindow& window, const Options& options) {
    std::vector<quorvel::SourceCheck> checks;
    for (const std::string& given : options.sources) {
        if (quorvel::CliWindow::signalReceived()) break;
        checks.push_back(core.checkSource(sourceFolder(given), !options.skipM2ts));
        window.finishProgressLine();
    }
    const std::string report =
        options.json ? checkReportJson(checks) : checkReportText(checks);
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
    return quorvel::CliWindow::signalReceived() ? kExitAborted : checkExitStatus(checks);
}

// What one source of a batch came to: its word on the summary line and its exit status.
struct Summary {
    const char* word;
    int status;
};

// Runs `one` on each source that is a Blu-ray folder, in turn, and with several sources prints one
// summary line each (the word padded to `wordWidth`). After a stop the rest are not started.
template <typename PerSource>
int runEach(quorvel::CliWindow& window, const Options& options, int wordWidth, PerSource one) {
    std::vector<std::pair<std::string, Summary>> results;
    for (const std::string& given : options.sources) {
        const std::string folder = sourceFolder(given);
        if (quorvel::CliWindow::signalReceived()) {
            results.push_back({folder, {"not-started", kExitAborted}});
            continue;
        }
        if (!quorvel::ConversionDriver::srcVerified(folder)) {
            // One source keeps the window's own message; a batch says which folder it means.
            if (options.sources.size() == 1) {
                std::fputs("Selected source is not BD format.\n", stderr);
            } else {
                std::fprintf(stderr, "%s: Selected source is not BD format.\n", folder.c_str());
            }
            results.push_back({folder, {"not-blu-ray", kExitUsage}});
            continue;
        }
        results.push_back({folder, one(folder)});
        window.finishProgressLine();
    }
    if (results.size() > 1) {
        for (const auto& [folder, summary] : results) {
            std::printf("%-*s %s\n", wordWidth, summary.word, folder.c_str());
        }
    }
    std::fflush(stdout);
    std::vector<int> statuses;
    for (const auto& result : results) statuses.push_back(result.second.status);
    return worstExitStatus(statuses);
}

int runJobs(quorvel::ConversionDriver& core, quorvel::CliWindow& window, const Options& options) {
    return runEach(window, options, 12, [&](const std::string& folder) -> Summary {
        window.setSourcePath(folder);
        core.Command1_Click();
        switch (core.lastOutcome()) {
            case quorvel::JobOutcome::Succeeded:
                return {"converted", kExitSuccess};
            case quorvel::JobOutcome::Aborted:
                return {"aborted", kExitAborted};
            case quorvel::JobOutcome::Busy:
                return {"busy", kExitFailure};
            default:
                return {"failed", kExitFailure};
        }
    });
}

int runUndoChecks(quorvel::ConversionDriver& core, const Options& options) {
    std::vector<quorvel::UndoCheck> checks;
    for (const std::string& given : options.sources) {
        if (quorvel::CliWindow::signalReceived()) break;
        checks.push_back(core.checkUndoSource(sourceFolder(given)));
    }
    const std::string report =
        options.json ? undoCheckReportJson(checks) : undoCheckReportText(checks);
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
    return quorvel::CliWindow::signalReceived() ? kExitAborted : undoCheckExitStatus(checks);
}

int runUndos(quorvel::ConversionDriver& core, quorvel::CliWindow& window, const Options& options) {
    return runEach(window, options, 15, [&](const std::string& folder) -> Summary {
        switch (core.undoSource(folder)) {
            case quorvel::UndoOutcome::Restored:
                return {"restored", kExitSuccess};
            case quorvel::UndoOutcome::NothingToUndo:
                return {"nothing-to-undo", kExitFailure};
            case quorvel::UndoOutcome::Aborted:
                return {"aborted", kExitAborted};
            case quorvel::UndoOutcome::Busy:
                return {"busy", kExitFailure};
            case quorvel::UndoOutcome::Refused:
                return {"refused", kExitFailure};
            case quorvel::UndoOutcome::Failed:
                break;
        }
        return {"failed", kExitFailure};
    });
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of the log that goes away (`| head`) must not stop a job half-way: writes to a
    // closed pipe just fail.
    quorvel::platform::ignoreBrokenPipe();
    // The log and the reports end their lines with LF on every system.
    quorvel::platform::useBinaryMode(stdout);
    quorvel::platform::useBinaryMode(stderr);
    // Paths in any script show as they are named in a console too.
    quorvel::platform::useUtf8Console();

    // Paths in UTF-8 whatever script their names are in (Windows hands them over as UTF-16).
    std::vector<std::string> arguments = quorvel::platform::programArguments(argc, argv);
    std::vector<char*> utf8Argv;
    for (std::string& argument : arguments) utf8Argv.push_back(argument.data());
    utf8Argv.push_back(nullptr);

    Options options;
    if (const int status = parse(static_cast<int>(arguments.size()), utf8Argv.data(), options);
        status >= 0) {
        return status;
    }

    try {
        quorvel::CliWindow window(stdout, stderr, quorvel::platform::isTerminal(stderr));
        quorvel::ConversionDriver core(window);
        window.attach(&core);
        window.setSkipM2ts(options.skipM2ts);

        core.setUndoFolder(options.undoDir);

        // An undo writes back recorded bytes: it needs no analyser.
        if (options.undo) {
            quorvel::CliWindow::installSignalHandlers();
            return options.check ? runUndoChecks(core, options) : runUndos(core, window, options);
        }
        if (!core.Form_Load(quorvel::platform::programFolder())) return kExitUsage;
        quorvel::CliWindow::installSignalHandlers();
        return options.check ? runChecks(core, window, options) : runJobs(core, window, options);
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
