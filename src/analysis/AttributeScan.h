#pragma once

#include <cstdint>
#include <string>

#include "shared/ByteString.h"
#include "shared/LogLine.h"
#include "shared/MediaTrack.h"
#include "shared/StepControl.h"

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

// What a scan of one stream found.
struct ScanResult {
    ScanOutcome outcome = ScanOutcome::Failed;
    // Filled for Collected only (Failed: `failure` alone), so nothing from a report that cannot
    // be trusted reaches a caller.
    StreamAttributes attributes;
    // The log lines after the step's heading: the attribute line and " - Scan completed."
    // (Collected), " - Scan failed: <reason>." (Failed), nothing (Aborted: the job logs the
    // abort itself).
    LogLines lines;
};

// Runs the analyser (`mediaInfoPath`) on the stream file `m2ts` (a full path). Collected: the
// analyser finished with exit code 0 or 1 and its report named a video track. Aborted: `stop`
// asked for the run to end.
ScanResult scanStream(const std::string& mediaInfoPath, const std::string& m2ts, StopToken& stop);

}  // namespace quorvel
