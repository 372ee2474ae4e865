#pragma once

#include <string>

#include "app/JobContext.h"
#include "shared/ByteString.h"
#include "shared/MediaTrack.h"

namespace quorvel {

// Size of the UHD extension data block a playlist receives, in both its forms.
inline constexpr std::size_t kUhdExtensionDataSize = 60;

// The playlist's UHD extension data block for a source whose video track is `video`: the HDR
// form (fixed primaries, then the track's luminance and light levels) when the track carries
// mastering-display metadata, otherwise the same header followed by zeros.
ByteString buildUhdExtensionData(const MediaTrack& video);

// The job's first step: runs the analyser on the first stream file in `path` (the STREAM folder,
// without a trailing separator), rebuilds the track records and uhdExtensionData, and logs the
// scan. True when the analyser ran and ended normally.
bool GetMediaInfo(JobContext& ctx, const std::string& path);

}  // namespace quorvel
