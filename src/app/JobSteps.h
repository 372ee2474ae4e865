#pragma once

#include <string>

#include "analysis/AttributeScan.h"
#include "app/JobContext.h"
#include "transport/M2tsAdjuster.h"

namespace quorvel {

// The scan and the four adjusters as the job driver calls them. The scan says whether it
// collected the attributes, failed or was stopped; each adjuster returns true to let the job go
// on. Tests replace single steps (a scan without the analyser, a stream pass that stops); the
// program uses RealJobSteps.
class JobSteps {
  public:
    virtual ~JobSteps() = default;
    virtual ScanOutcome scanStream(JobContext& ctx, const std::string& m2ts,
                                   const std::string& heading, StreamAttributes& out) = 0;
    virtual bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) = 0;
    virtual bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi, bool isHdr,
                                 const std::string& heading) = 0;
    virtual bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                                 const std::string& movieobject) = 0;
    virtual bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts,
                                 const std::string& heading, const M2tsScanOptions& options) = 0;
};

class RealJobSteps : public JobSteps {
  public:
    ScanOutcome scanStream(JobContext& ctx, const std::string& m2ts, const std::string& heading,
                           StreamAttributes& out) override;
    bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) override;
    bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi, bool isHdr,
                         const std::string& heading) override;
    bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                         const std::string& movieobject) override;
    bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts, const std::string& heading,
                         const M2tsScanOptions& options) override;
};

}  // namespace quorvel
