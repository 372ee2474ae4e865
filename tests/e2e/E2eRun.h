#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace quorvel::test::e2e {

// One run of quorvel-cli: its exit status, output, and the log lines it printed with their time
// prefixes masked.
struct JobRun {
    CommandResult result;
    std::vector<std::string> log;
};

JobRun runJob(const std::vector<std::string>& arguments);

// True when the run stopped on a step that is still a placeholder in this build.
bool stepsMissing(const JobRun& run);

}  // namespace quorvel::test::e2e

// The end-to-end runs need every step of the job; until all are in the build they skip.
#define SKIP_IF_STEPS_MISSING(run)               \
    if (::quorvel::test::e2e::stepsMissing(run)) \
    GTEST_SKIP() << "a job step is not built yet: " << (run).result.err
