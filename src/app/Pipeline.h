#pragma once

#include <string>

#include "app/JobHost.h"
#include "app/JobSteps.h"
#include "app/SourceCheck.h"
#include "app/StatusLog.h"

namespace quorvel {

// How a job ended, for front ends that report it (the command line's exit status).
// Busy: another job or check was working on the disc, so this one changed nothing.
enum class JobOutcome { None, Succeeded, Aborted, Failed, Busy };

// The one way through a disc, for the job and for the check alike: read the title, scan every
// clip, plan, then either write the navigation files, their BACKUP copies and the streams (the
// job) or record what those writes would be (the check).
struct PipelineOptions {
    // Write: the job. It holds the disc's lock exclusively, logs every step and writes.
    // Check: the adjusters run in AdjustMode::Check and the streams are read through; it holds
    // the lock shared, logs nothing and writes nothing.
    AdjustMode mode = AdjustMode::Write;
    // StopAtFirst: the job ends at the first clip whose scan fails, with its log line.
    // ListEach: the check goes on and lists every refusal.
    enum class OnFailure { StopAtFirst, ListEach };
    OnFailure onFailure = OnFailure::StopAtFirst;
    // False: the stream files are left out (Skip M2TS).
    bool withStreams = true;
    // The folder of the job's undo record; empty: the user's state folder.
    std::string undoDir;

    static PipelineOptions job(bool withStreams) {
        return {AdjustMode::Write, OnFailure::StopAtFirst, withStreams, {}};
    }
    static PipelineOptions check(bool withStreams) {
        return {AdjustMode::Check, OnFailure::ListEach, withStreams, {}};
    }
};

// What the pipeline needs around the steps: the front end (log, stop, progress, timer), the
// analyser and the clock of the log's time stamps.
struct PipelineHost {
    JobSteps& steps;
    JobHost& host;
    const std::string& mediaInfoPath;
    const LocalClock& clock;
};

// The job on the disc folder `source` (ending with a separator). Every way out logs its outcome
// as the last line.
JobOutcome runJob(const PipelineHost& with, const std::string& source, bool withStreams);
// The same, with the job's options (the undo record's folder).
JobOutcome runJob(const PipelineHost& with, const std::string& source,
                  const PipelineOptions& options);

// What a job would do to `source`, found out the job's way without writing or logging anything.
SourceCheck runCheck(const PipelineHost& with, const std::string& source, bool withStreams);

}  // namespace quorvel
