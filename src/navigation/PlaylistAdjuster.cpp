#include "navigation/PlaylistAdjuster.h"

#include "app/QuorvelError.h"

namespace quorvel {

bool UHD_Adjust_MPLS(JobContext&, const std::string&) {
    throw QuorvelError("UHD_Adjust_MPLS is not built yet");
}

}  // namespace quorvel
