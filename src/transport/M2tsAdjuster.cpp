#include "transport/M2tsAdjuster.h"

#include "app/QuorvelError.h"

namespace quorvel {

bool UHD_Adjust_M2TS(JobContext&, const std::string&) {
    throw QuorvelError("UHD_Adjust_M2TS is not built yet");
}

}  // namespace quorvel
