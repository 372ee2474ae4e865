#include "analysis/MediaInfoRunner.h"

#include <chrono>
#include <optional>
#include <vector>

#include "analysis/ChildProcess.h"
#include "analysis/LineSplitter.h"
#include "analysis/MediaInfoParser.h"

namespace quorvel {

namespace {

// One read takes at most this much of the analyser's output.
constexpr std::size_t kReadChunk = 65000;
// How long a poll turn waits for output (or for the analyser to end) before the window gets its
// turn: short enough to keep the window live, long enough not to spin a core.
constexpr std::chrono::milliseconds kPollWait{10};
// Exit codes of a finished analysis.
constexpr int kExitCompleted = 0;
constexpr int kExitCompletedWithRemarks = 1;

bool isFinishedAnalysis(const std::optional<int>& code) {
    return code && (*code == kExitCompleted || *code == kExitCompletedWithRemarks);
}

}  // namespace

bool RunMediaInfo(JobContext& ctx, const std::string& file) {
    ChildProcess child;
    if (!child.start(ctx.state.mediaInfoPath, {file})) return false;

    LineSplitter splitter;
    std::vector<char> buffer(kReadChunk);
    std::string line;
    bool outputOpen = true;
    for (;;) {
        if (outputOpen) {
            std::size_t count = 0;
            switch (child.read(buffer.data(), buffer.size(), count, kPollWait)) {
                case ChildProcess::ReadResult::Data:
                    splitter.feed(std::string_view(buffer.data(), count));
                    while (splitter.nextLine(line)) {
                        ParseMediaInfoLine(ctx.state, line);
                        ctx.window.processPendingEvents();
                        if (ctx.state.abortRequested) {
                            child.terminate();
                            return false;
                        }
                    }
                    break;
                case ChildProcess::ReadResult::NothingYet:
                    break;
                case ChildProcess::ReadResult::EndOfData:
                    outputOpen = false;
                    break;
                case ChildProcess::ReadResult::Failed:
                    // A pipe that cannot be read would leave the analyser blocked on a full pipe
                    // for ever; its report is incomplete anyway.
                    return false;
            }
        } else {
            // The output has closed; the analyser is about to end.
            child.waitForExit(kPollWait);
        }

        const std::optional<int> code = child.exitCode();
        ctx.window.processPendingEvents();
        // The abort wins even over an analyser that has just ended: the user asked the job to
        // stop, so it must not go on to patch the disc.
        if (ctx.state.abortRequested) {
            child.terminate();
            return false;
        }
        if (!outputOpen && code) return isFinishedAnalysis(code);
    }
}

}  // namespace quorvel
