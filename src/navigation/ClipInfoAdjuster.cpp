#include "navigation/ClipInfoAdjuster.h"

#include "app/QuorvelError.h"

namespace quorvel {

bool UHD_Adjust_CLPI(JobContext&, const std::string&) {
    throw QuorvelError("UHD_Adjust_CLPI is not built yet");
}

}  // namespace quorvel
