#pragma once

#include "app/StatusLog.h"
#include "app/WindowOperations.h"
#include "shared/SharedState.h"

namespace quorvel {

// What a step of the job works with: the shared state, the log, and the front end.
struct JobContext {
    SharedState& state;
    StatusLog& log;
    WindowOperations& window;
};

}  // namespace quorvel
