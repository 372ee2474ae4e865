#pragma once

#include <cstdint>
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

// What the analyser said about one stream's video.
struct StreamAttributes {
    bool hasVideo = false;  // the report named a video track
    bool is2160 = false;    // that track's width is 3840 or its height 2160
    bool isHdr = false;     // that track carries mastering-display metadata
    std::int32_t width = 0;
    std::int32_t height = 0;
    ByteString uhdExtensionData;  // the 60-byte playlist block built from that track
    std::string failure;          // a failed scan: why, as its log line says it
};

enum class ScanOutcome { Collected, Failed, Aborted };

// Runs the analyser on the stream file `m2ts` (a full path). Logs `heading` behind the time
// prefix, then either the attribute line and " - Scan completed." (Collected: the analyser
// finished with exit code 0 or 1 and its report named a video track), or " - Scan failed:
// <reason>." (Failed), or nothing more (Aborted: the job logs the abort itself).
// Whatever the outcome, the shared track records and uhdExtensionData are rebuilt from what the
// report said. `out` is filled for Collected and left at its defaults otherwise, so nothing from
// a report that cannot be trusted reaches a caller.
ScanOutcome scanStream(JobContext& ctx, const std::string& m2ts, const std::string& heading,
                       StreamAttributes& out);

}  // namespace quorvel
