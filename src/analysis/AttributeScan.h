#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

bool GetMediaInfo(JobContext& ctx, const std::string& path);

}  // namespace quorvel
