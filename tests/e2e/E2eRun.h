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

}  // namespace quorvel::test::e2e

