#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi);

}  // namespace quorvel
