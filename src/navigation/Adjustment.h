#pragma once

#include <string>
#include <vector>

#include "fileio/NavigationFile.h"
#include "shared/FieldChange.h"
#include "shared/LogLine.h"

namespace quorvel {

// How an adjuster runs: on the disc's files, or as a check that reads them and writes nothing.
using AdjustMode = NavigationFile::Mode;

// What one run of an adjuster found and did.
struct Adjustment {
    // The file qualifies and was adjusted (or, in a check, would be): the job may go on.
    bool accepted = false;
    // When not accepted: the kind of file concerned ("playlist"), the file and why, as the log
    // line completes "Cannot adjust <kind> <file>: ".
    std::string kind;
    std::string refusedFile;
    std::string reason;
    // What the run changed, or in a check would change, field by field in file order.
    FieldChanges changes;
    // What the log says about the run after the step's heading, the refusal's line last.
    LogLines lines;
};

}  // namespace quorvel
