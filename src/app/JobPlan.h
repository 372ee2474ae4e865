#pragma once

#include <string>
#include <vector>

#include "app/BluRayLayout.h"
#include "app/JobSteps.h"
#include "shared/Refusal.h"
#include "app/Title.h"
#include "shared/FieldChange.h"

namespace quorvel {

// What a job will do to a disc, established before its first write.
struct JobPlan {
    std::vector<Refusal> refusals;
    // Every navigation field the job changes, file by file.
    FieldChanges changes;

    bool accepted() const { return refusals.empty(); }
};

// Checks every file the job will change, after the scan: the analyser's verdict on each clip's
// video (it must be 3840x2160), the playlist, each clip information file, index and MovieObject,
// and (unless `withStreams` is false) the first program map section of each stream; that every
// file can be opened for writing and is not a link; and that no two of them are one file.
// Runs the adjusters in AdjustMode::Check; writes nothing. The playlist's extension block is the
// first clip's.
JobPlan planJob(JobSteps& steps, const BluRayLayout& layout, const Title& title, bool withStreams);

// The steps a job runs once for each clip of its title.
enum class ClipStep { Scan, ClipInfo, Stream };

// The opening line of a step over the title's clip number `clip`, behind the time prefix: the
// first clip's is the plain one (" Checking/Adjusting CLPI file..."), a further clip's names its
// file (" Checking/Adjusting CLPI file 00002.clpi...").
std::string clipStepHeading(ClipStep step, const Title& title, std::size_t clip);

}  // namespace quorvel
