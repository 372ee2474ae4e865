#include "app/JobSteps.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel {

namespace {

// A navigation step's heading with the time, before the step runs, and its lines after it.
void logHeading(JobContext& ctx, const std::string& heading) {
    ctx.log.Status(ctx.log.TimeStamp() + heading);
}

bool logAdjustment(JobContext& ctx, const Adjustment& adjustment) {
    for (const LogLine& line : adjustment.lines) {
        ctx.log.Status(line.timed ? ctx.log.TimeStamp() + line.text : line.text);
    }
    return adjustment.accepted;
}

}  // namespace

ScanOutcome RealJobSteps::scanStream(JobContext& ctx, const std::string& m2ts,
                                     const std::string& heading, StreamAttributes& out) {
    return quorvel::scanStream(ctx, m2ts, heading, out);
}

bool RealJobSteps::UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) {
    logHeading(ctx, " Checking/Adjusting MPLS file...");
    return logAdjustment(ctx, quorvel::UHD_Adjust_MPLS(mpls, ctx.state.uhdExtensionData));
}

bool RealJobSteps::UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi, bool isHdr,
                                   const std::string& heading) {
    logHeading(ctx, heading);
    return logAdjustment(ctx, quorvel::UHD_Adjust_CLPI(clpi, isHdr));
}

bool RealJobSteps::UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                                   const std::string& movieobject) {
    logHeading(ctx, " Checking/Adjusting BDMV files...");
    return logAdjustment(ctx, quorvel::UHD_Adjust_BDMV(index, movieobject));
}

bool RealJobSteps::UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts,
                                   const M2tsScanOptions& options) {
    return quorvel::UHD_Adjust_M2TS(ctx, m2ts, options);
}

}  // namespace quorvel
