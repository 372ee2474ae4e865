#pragma once

#include <string>
#include <vector>

#include "app/JobContext.h"
#include "app/JobPlan.h"
#include "app/JobSteps.h"
#include "shared/FieldChange.h"

namespace quorvel {

// What a job would do to one disc folder, found out without writing anything.
struct SourceCheck {
    enum class State {
        Unconverted,      // a job would convert it
        PartlyConverted,  // converted in part (a job cut short, a job without the stream): a
                          // job would complete it
        Converted,        // a job would change nothing
        Refused,          // a job would refuse it (or fail): see `refusals`
        NotBluRay,        // not a folder the tool works on at all
        Aborted,          // the check was stopped by the user
        Busy,             // a job was working on the disc: nothing was looked at
    };
    std::string source;  // the folder, ending with a separator
    State state = State::Refused;
    std::vector<Refusal> refusals;
    // Every field a job would change: navigation fields one by one, stream fields summed up
    // (their `count` says how many places of the stream).
    FieldChanges changes;
    // Further facts worth telling, e.g. how far a stream's conversion got.
    std::vector<std::string> notes;
};

// The fields of a change that writes a whole BACKUP copy anew: one that differs from its file,
// or one that is missing from a BACKUP folder that exists.
inline constexpr const char* kStaleCopyField = "BACKUP copy differs from its file";
inline constexpr const char* kMissingCopyField = "BACKUP copy is missing";

// Reads the title, analyses its streams, makes the job's whole plan and, unless `withStreams` is
// false, reads every stream through to count what its conversion would change. Logs nothing;
// writes nothing. `source` is a folder that holds BDMV, ending with a separator.
SourceCheck checkSource(JobContext& ctx, JobSteps& steps, const std::string& source,
                        bool withStreams);

}  // namespace quorvel
