#include "navigation/IndexAdjuster.h"

#include "app/QuorvelError.h"

namespace quorvel {

bool UHD_Adjust_BDMV(JobContext&, const std::string&, const std::string&) {
    throw QuorvelError("UHD_Adjust_BDMV is not built yet");
}

}  // namespace quorvel
