#pragma once

#include <string>

#include "navigation/Adjustment.h"

namespace quorvel {

// Writes "INDX0300" and "MOBJ0300" and appends the UHD index extension block when the index has
// no extension data yet. Both files are checked before either is written: their type codes,
// versions 0200 or 0300, every block inside the file, and extension data of the index that are
// the UHD block.
Adjustment adjustIndexAndMovieObject(const std::string& index, const std::string& movieObject,
                                     AdjustMode mode);

// The job's index and MovieObject step: adjustIndexAndMovieObject on the disc files.
Adjustment UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject);

}  // namespace quorvel
