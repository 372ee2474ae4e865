#include "app/JobSteps.h"
#include "app/LegacyStepControl.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"

#include <utility>

namespace quorvel {

ScanOutcome RealJobSteps::scanStream(JobContext& ctx, const std::string& m2ts,
                                     const std::string& heading, StreamAttributes& out) {
    ctx.log.Status(ctx.log.TimeStamp() + heading);
    LegacyStepControl control(ctx);
    ScanResult result = quorvel::scanStream(ctx.state.mediaInfoPath, m2ts, control);
    logStepLines(ctx, result.lines);
    out = std::move(result.attributes);
    if (result.outcome == ScanOutcome::Collected) ctx.state.uhdExtensionData = out.uhdExtensionData;
    return result.outcome;
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
                                   const std::string& heading, const M2tsScanOptions& options) {
    ctx.log.Status(ctx.log.TimeStamp() + heading);
    ctx.window.setTickInterval(kStreamTickIntervalMs);
    LegacyStepControl control(ctx);
    const StreamPass pass = quorvel::UHD_Adjust_M2TS(m2ts, options, control, control);
    logStepLines(ctx, pass.lines);
    return pass.outcome == StreamPass::Outcome::Done;
}

}  // namespace quorvel
