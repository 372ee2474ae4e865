#pragma once

#include <string>

#include "analysis/AttributeScan.h"
#include "navigation/Adjustment.h"
#include "shared/ByteString.h"
#include "shared/StepControl.h"
#include "transport/M2tsAdjuster.h"
#include "transport/StreamCheck.h"

namespace quorvel {

// The steps as the pipeline calls them: the scan, the four adjusters and the stream's read-only
// looks. A step logs nothing and knows no front end; it returns what it found, changed (or in
// AdjustMode::Check would change) and has to say. The job calls the adjusters in Write mode, its
// plan and the check in Check mode, all through this interface. Tests replace single steps (a
// scan without the analyser, a stream pass that stops); the program uses RealJobSteps.
class JobSteps {
  public:
    virtual ~JobSteps() = default;
    virtual ScanResult scanStream(const std::string& mediaInfoPath, const std::string& m2ts,
                                  StopToken& stop) = 0;
    virtual Adjustment UHD_Adjust_MPLS(const std::string& mpls, const ByteString& uhdExtension,
                                       AdjustMode mode) = 0;
    virtual Adjustment UHD_Adjust_CLPI(const std::string& clpi, bool isHdr, AdjustMode mode) = 0;
    virtual Adjustment UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject,
                                       AdjustMode mode) = 0;
    virtual StreamPass UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                                       StopToken& stop, ProgressSink& progress) = 0;
    // The check's read-through of a stream: fills `survey`, writes nothing.
    virtual StreamPass surveyM2ts(const std::string& m2ts, StreamSurvey& survey,
                                  const M2tsScanOptions& options, StopToken& stop,
                                  ProgressSink& progress) = 0;
    // The plan's look at a stream before the job's first write.
    virtual ProgramMapCheck checkFirstProgramMap(const std::string& m2ts) = 0;
};

class RealJobSteps : public JobSteps {
  public:
    ScanResult scanStream(const std::string& mediaInfoPath, const std::string& m2ts,
                          StopToken& stop) override;
    Adjustment UHD_Adjust_MPLS(const std::string& mpls, const ByteString& uhdExtension,
                               AdjustMode mode) override;
    Adjustment UHD_Adjust_CLPI(const std::string& clpi, bool isHdr, AdjustMode mode) override;
    Adjustment UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject,
                               AdjustMode mode) override;
    StreamPass UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                               StopToken& stop, ProgressSink& progress) override;
    StreamPass surveyM2ts(const std::string& m2ts, StreamSurvey& survey,
                          const M2tsScanOptions& options, StopToken& stop,
                          ProgressSink& progress) override;
    ProgramMapCheck checkFirstProgramMap(const std::string& m2ts) override;
};

}  // namespace quorvel
