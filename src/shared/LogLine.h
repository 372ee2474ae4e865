#pragma once

#include <string>
#include <vector>

namespace quorvel {

// A line a step has for the status log, exactly as the log shows it. `timed` lines get the
// "[hh:mm:ss]" prefix when they are logged.
struct LogLine {
    std::string text;
    bool timed = false;

    bool operator==(const LogLine&) const = default;
};

using LogLines = std::vector<LogLine>;

}  // namespace quorvel
