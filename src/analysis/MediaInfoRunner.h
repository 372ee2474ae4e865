#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

// Runs the analyser (ctx.state.mediaInfoPath) on `file` and hands every complete line of its
// report to ParseMediaInfoLine as it arrives, keeping the window live in between. True only when
// the analyser was started and ended by itself with exit code 0 or 1. An abort request stops the
// analyser and gives false. The child never outlives the call, whatever happens.
bool RunMediaInfo(JobContext& ctx, const std::string& file);

}  // namespace quorvel
