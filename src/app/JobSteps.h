#pragma once

#include <string>

#include "app/JobContext.h"

namespace quorvel {

// The scan and the four adjusters as the job driver calls them. Each returns true to let the
// job go on. Tests drive the job with fakes; the program uses RealJobSteps.
class JobSteps {
  public:
    virtual ~JobSteps() = default;
    virtual bool GetMediaInfo(JobContext& ctx, const std::string& path) = 0;
    virtual bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) = 0;
    virtual bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi) = 0;
    virtual bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                                 const std::string& movieobject) = 0;
    virtual bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts) = 0;
};

class RealJobSteps final : public JobSteps {
  public:
    bool GetMediaInfo(JobContext& ctx, const std::string& path) override;
    bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) override;
    bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi) override;
    bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index,
                         const std::string& movieobject) override;
    bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts) override;
};

}  // namespace quorvel
