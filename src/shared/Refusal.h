#pragma once

#include <string>

namespace quorvel {

// A reason why a job will not change a disc: the file concerned, why, and the log line that
// says so.
struct Refusal {
    std::string file;
    std::string reason;
    std::string line;
};

}  // namespace quorvel
