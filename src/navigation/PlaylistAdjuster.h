#pragma once

#include <string>
#include <vector>

#include "navigation/Adjustment.h"
#include "shared/ByteString.h"

namespace quorvel {

// Re-marks the HEVC video stream of every play item for 2160p UHD, writes "MPLS0300" and appends
// `uhdExtension`, the 60-byte UHD extension block the scan of the title's first clip built, when
// the playlist has no extension data yet. The playlist is walked and checked whole before
// anything is written; one that this conversion is not for (another type code or version, no
// play items, a video stream that is not 1080p-coded HEVC, a structure that leads outside the
// file, a play item whose clip name is not five digits, extension data without the UHD block) is
// refused and left unchanged.
Adjustment adjustPlaylist(const std::string& mpls, const ByteString& uhdExtension, AdjustMode mode);

// The clips a playlist plays, read without the extension step: for finding the title's files
// before the scan. `reason` is set (and the names empty) when the playlist is refused.
struct PlaylistTitle {
    // The five-digit clip names of the play items and of their further angles, each once, in
    // the order of first appearance.
    std::vector<std::string> clipNames;
    std::string reason;
};
PlaylistTitle readPlaylistTitle(const std::string& mpls);

// The job's playlist step: adjustPlaylist on the disc file.
Adjustment UHD_Adjust_MPLS(const std::string& mpls, const ByteString& uhdExtension);

}  // namespace quorvel
