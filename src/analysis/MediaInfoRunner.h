#pragma once

#include <string>

#include "analysis/MediaInfoParser.h"
#include "shared/StepControl.h"

namespace quorvel {

// How a run of the analyser ended.
struct AnalyserRun {
    enum class Ending {
        Exited,            // the analyser ended by itself; `exitCode` says how
        CouldNotStart,     // the pipe or the analyser's process could not be made
        OutputUnreadable,  // the pipe failed, so the report is incomplete
        Aborted,           // the user asked the job to stop while the analyser ran
    };
    Ending ending = Ending::CouldNotStart;
    // For Exited: the analyser's exit code, 128 + N when signal N ended it.
    int exitCode = -1;

    // The analyser finished its analysis: it ended by itself with exit code 0 or 1.
    bool finished() const;
};

// Runs the analyser (`mediaInfoPath`, a full path) on `file`, started inside the file's folder
// with the file's bare name as its one argument, and hands every line of its report to
// ParseMediaInfoLine (into `report`) as it arrives, asking `stop` after each line and each turn; a last line without a
// line feed is handed on when the output ends. Once the analyser itself has ended, only what is
// already waiting in the pipe is read, so nothing it left behind can hold the run open. A stop
// request stops the run at once. Neither the analyser nor anything it started outlives the call,
// whatever happens.
AnalyserRun RunMediaInfo(const std::string& mediaInfoPath, const std::string& file,
                         MediaInfoReport& report, StopToken& stop);

}  // namespace quorvel
