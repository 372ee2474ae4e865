#include "app/JobSteps.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel {

ScanOutcome RealJobSteps::scanStream(JobContext& ctx, const std::string& m2ts,
                                     const std::string& heading, StreamAttributes& out) {
    return quorvel::scanStream(ctx, m2ts, heading, out);
}

bool RealJobSteps::UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) {
    return quorvel::UHD_Adjust_MPLS(ctx, mpls);
}

bool RealJobSteps::UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi, bool isHdr,
                                   const std::string& heading) {
    return adjustClipInfo(ctx, clpi, isHdr, AdjustMode::Write, heading).accepted;
}

bool RealJobSteps::UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                                   const std::string& movieobject) {
    return quorvel::UHD_Adjust_BDMV(ctx, index, movieobject);
}

bool RealJobSteps::UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts,
                                   const M2tsScanOptions& options) {
    return quorvel::UHD_Adjust_M2TS(ctx, m2ts, options);
}

}  // namespace quorvel
