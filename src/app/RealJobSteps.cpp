#include "analysis/AttributeScan.h"
#include "app/JobSteps.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel {

ScanResult RealJobSteps::scanStream(const std::string& mediaInfoPath, const std::string& m2ts,
                                    StopToken& stop) {
    return quorvel::scanStream(mediaInfoPath, m2ts, stop);
}

Adjustment RealJobSteps::UHD_Adjust_MPLS(const std::string& mpls, const ByteString& uhdExtension,
                                         AdjustMode mode) {
    return adjustPlaylist(mpls, uhdExtension, mode);
}

Adjustment RealJobSteps::UHD_Adjust_CLPI(const std::string& clpi, bool isHdr, AdjustMode mode) {
    return adjustClipInfo(clpi, isHdr, mode);
}

Adjustment RealJobSteps::UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject,
                                         AdjustMode mode) {
    return adjustIndexAndMovieObject(index, movieObject, mode);
}

StreamPass RealJobSteps::UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                                         StopToken& stop, ProgressSink& progress) {
    return quorvel::UHD_Adjust_M2TS(m2ts, options, stop, progress);
}

StreamPass RealJobSteps::surveyM2ts(const std::string& m2ts, StreamSurvey& survey,
                                    const M2tsScanOptions& options, StopToken& stop,
                                    ProgressSink& progress) {
    return quorvel::surveyM2ts(m2ts, survey, options, stop, progress);
}

ProgramMapCheck RealJobSteps::checkFirstProgramMap(const std::string& m2ts) {
    return quorvel::checkFirstProgramMap(m2ts);
}

}  // namespace quorvel
