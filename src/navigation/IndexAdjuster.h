#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index, const std::string& movieobject);

}  // namespace quorvel
