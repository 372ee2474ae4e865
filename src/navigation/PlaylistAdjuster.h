#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls);

}  // namespace quorvel
