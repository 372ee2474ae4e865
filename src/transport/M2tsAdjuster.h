#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts);

}  // namespace quorvel
