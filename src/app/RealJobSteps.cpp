#include "analysis/AttributeScan.h"
#include "app/JobSteps.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"
#include "transport/M2tsAdjuster.h"

namespace quorvel {

bool RealJobSteps::GetMediaInfo(JobContext& ctx, const std::string& path) {
    return quorvel::GetMediaInfo(ctx, path);
}

bool RealJobSteps::UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) {
    return quorvel::UHD_Adjust_MPLS(ctx, mpls);
}

bool RealJobSteps::UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi) {
    return quorvel::UHD_Adjust_CLPI(ctx, clpi);
}

bool RealJobSteps::UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                                   const std::string& movieobject) {
    return quorvel::UHD_Adjust_BDMV(ctx, index, movieobject);
}

bool RealJobSteps::UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts) {
    return quorvel::UHD_Adjust_M2TS(ctx, m2ts);
}

}  // namespace quorvel
