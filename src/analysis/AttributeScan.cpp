#include "analysis/AttributeScan.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "analysis/MediaInfoRunner.h"
#include "fileio/BigEndian.h"
#include "platform/ProgramLocation.h"

namespace quorvel {

namespace {

// The block is a complete extension data block: its own length field, a directory of one entry
// (ID1 3, ID2 5) and that entry's data. Addresses count from the block's first byte.
constexpr std::array<std::uint8_t, 36> kUhdExtensionHeader = {
    0x00, 0x00, 0x00, 0x38,                          // length after this field: 56
    0x00, 0x00, 0x00, 0x18,                          // data blocks start at 24
    0x00, 0x00, 0x00,                                // reserved
    0x01,                                            // one entry
    0x00, 0x03,                                      // ID1 = 3
    0x00, 0x05,                                      // ID2 = 5
    0x00, 0x00, 0x00, 0x18,                          // entry data starts at 24
    0x00, 0x00, 0x00, 0x24,                          // entry data length: 36
    0x00, 0x00, 0x00, 0x20,                          // entry data length after this field: 32
    0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,  // fixed, the same in both forms
};

// Mastering display primaries written for every HDR source: DCI-P3 with the D65 white point,
// big-endian units of 0.00002, green, blue, red, white point, x before y. They are fixed, not
// taken from the report.
constexpr std::array<std::uint16_t, 8> kHdrPrimaries = {
    13250, 34500,  // green x 0.265, y 0.690
    7500,  3000,   // blue x 0.150, y 0.060
    34000, 16000,  // red x 0.680, y 0.320
    15635, 16450,  // white x 0.3127, y 0.3290
};

constexpr std::size_t kHdrFieldsSize = kUhdExtensionDataSize - kUhdExtensionHeader.size();

constexpr const char* kHdrCollectedLine = " - UHD and HDR attributes collected.";
constexpr const char* kCollectedLine = " - UHD attributes collected.";
constexpr const char* kCompletedLine = " - Scan completed.";
constexpr const char* kFailedPrefix = " - Scan failed: ";

void appendBe16(ByteString& block, std::int16_t value) {
    const ByteString bytes = be16ToBytes(value);
    block.insert(block.end(), bytes.begin(), bytes.end());
}

// Why the report of a run that was not aborted cannot be trusted; empty when it can.
std::string failureReason(const AnalyserRun& run, const MediaInfoReport& report,
                          const std::string& m2ts) {
    if (run.ending == AnalyserRun::Ending::CouldNotStart) {
        return "the analyser could not be started";
    }
    if (run.ending == AnalyserRun::Ending::OutputUnreadable) {
        return "the analyser's output could not be read";
    }
    if (!run.finished()) return "the analyser ended with exit code " + std::to_string(run.exitCode);
    // The analyser also finishes with exit code 0 on a file it cannot read, saying nothing
    // about it; taking that for a video without HDR would mark an HDR disc SDR for good. A file
    // it could not read gets no "General" section.
    if (!report.videoTrackFound) {
        if (!report.generalSectionFound) return "the analyser could not read " + m2ts;
        return "the analyser reported no video track for " + m2ts;
    }
    return {};
}

}  // namespace

ByteString buildUhdExtensionData(const MediaTrack& video) {
    ByteString block(kUhdExtensionHeader.begin(), kUhdExtensionHeader.end());
    if (!video.isHdr) {
        block.resize(block.size() + kHdrFieldsSize, 0x00);
        return block;
    }
    for (std::uint16_t coordinate : kHdrPrimaries) {
        appendBe16(block, static_cast<std::int16_t>(coordinate));
    }
    appendBe16(block, video.maxLuminance);  // whole cd/m2
    appendBe16(block, video.minLuminance);  // units of 0.0001 cd/m2
    appendBe16(block, video.maxCll);
    appendBe16(block, video.maxFall);
    return block;
}

ScanResult scanStream(const std::string& mediaInfoPath, const std::string& m2ts,
                      StopToken& stop) {
    ScanResult result;
    const auto failed = [&result](std::string reason) {
        result.outcome = ScanOutcome::Failed;
        result.lines.push_back({kFailedPrefix + reason + "."});
        result.attributes.failure = std::move(reason);
        return result;
    };
    // The analyser built with a window of its own writes no report to its output: it would
    // open a window nobody sees and the job would wait for it.
    if (platform::isWindowsGuiProgram(mediaInfoPath)) {
        return failed(mediaInfoPath +
                      " is MediaInfo with a window; the command-line MediaInfo is needed");
    }
    MediaInfoReport report;
    const AnalyserRun run = RunMediaInfo(mediaInfoPath, m2ts, report, stop);

    if (run.ending == AnalyserRun::Ending::Aborted) {
        result.outcome = ScanOutcome::Aborted;
        return result;
    }
    if (std::string reason = failureReason(run, report, m2ts); !reason.empty()) {
        return failed(std::move(reason));
    }
    // The parser keeps the index inside the records; the guard only protects against a
    // corrupted report.
    const std::size_t videoIndex = static_cast<std::size_t>(report.videoTrackIndex);
    const MediaTrack video =
        videoIndex < report.tracks.size() ? report.tracks[videoIndex] : MediaTrack{};
    result.outcome = ScanOutcome::Collected;
    result.lines.push_back({video.isHdr ? kHdrCollectedLine : kCollectedLine});
    result.lines.push_back({kCompletedLine});
    result.attributes = StreamAttributes{true,        video.is2160, video.isHdr,
                                         video.width, video.height, buildUhdExtensionData(video),
                                         {}};
    return result;
}

}  // namespace quorvel
