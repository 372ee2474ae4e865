#pragma once

#include <string>

#include "navigation/Adjustment.h"

namespace quorvel {

// Re-marks the HEVC video stream of the clip's first program sequence for 2160p UHD, sets its
// dynamic range byte (HDR10/BT.2020 when `isHdr`, else SDR/BT.709) and writes "HDMV0300". The
// file is walked and checked whole before anything is written; one of another type code or
// version, without an HEVC stream, with one that is not 1080p-coded, or with a structure that
// leads outside the file is refused and left unchanged.
Adjustment adjustClipInfo(const std::string& clpi, bool isHdr, AdjustMode mode);

// The job's clip information step: adjustClipInfo on the disc file.
Adjustment UHD_Adjust_CLPI(const std::string& clpi, bool isHdr);

}  // namespace quorvel
