#include "navigation/StreamCoding.h"

#include "shared/HexText.h"

namespace quorvel {

namespace {

constexpr std::int64_t kVersionMarkerOffset = 0;
constexpr std::int64_t kFormatAfterCodingType = 1;

// The line for a stream already marked as UHD Blu-ray HEVC: what its format code says.
void reportPreviousFormat(std::uint8_t format, LogLines& lines) {
    switch (format & kFormatCodeMask) {
        case kFormat2160p:
            lines.push_back({" - HEVC stream previously marked as 2160p UHD."});
            break;
        case kFormat1080p:
            lines.push_back({" - HEVC stream previously marked as 1080p."});
            break;
        default:
            break;
    }
}

}  // namespace

VideoCoding videoCodingOf(std::uint8_t codingType, std::uint8_t format) {
    if (codingType == kCodingTypeHevcUhd) return VideoCoding::Marked;
    if (codingType != kCodingTypeHevcSource) return VideoCoding::NotHevc;
    return (format & kFormatCodeMask) == kFormat1080p ? VideoCoding::Convertible
                                                      : VideoCoding::NotUhdSource;
}

std::string videoCodingProblem(const std::string& what, std::uint8_t codingType,
                               std::uint8_t format) {
    if (codingType != kCodingTypeHevcSource) {
        return what + " has coding type " + hexNumber(codingType, 2) + ", not HEVC (" +
               hexNumber(kCodingTypeHevcSource, 2) + ")";
    }
    return what + " is HEVC with the video format code " +
           std::to_string(format >> kFormatCodeShift) + ", not 1080p (" +
           std::to_string(kFormat1080p >> kFormatCodeShift) + ")";
}

void remarkHevcStreams(NavigationFile& file, const std::vector<HevcEntry>& entries,
                       const HevcMarking& marking, LogLines& lines) {
    const ByteString marker = asciiBytes(marking.versionMarker);
    for (const HevcEntry& entry : entries) {
        const std::int64_t formatOffset = entry.codingTypeOffset + kFormatAfterCodingType;
        const std::uint8_t format = file.getByte(formatOffset);
        if (file.getByte(entry.codingTypeOffset) == kCodingTypeHevcUhd) {
            // Already re-marked (by an earlier run or by the muxer): reported, not changed, so a
            // second run changes nothing.
            if (marking.reportMarkedStreams) {
                lines.push_back({" - Found UHD-BD marked HEVC stream..."});
            }
            reportPreviousFormat(format, lines);
            file.putBytes(kVersionMarkerOffset, marker, {{"version", marker.size()}});
            continue;
        }
        lines.push_back({" - Found HEVC stream..."});
        // The dynamic range byte goes before the coding type, with a barrier between them: a
        // rerun finds the entry by its 0x06 type, so a cut between the two writes is completed,
        // while a 0x24 entry is only reported and must never lack its dynamic range byte, not
        // even after a power cut.
        if (marking.dynamicRange && entry.dynamicRangeOffset >= 0) {
            file.putByte(entry.dynamicRangeOffset, *marking.dynamicRange,
                         "dynamic range / colour space");
            file.barrier();
        }
        // Type and format go in one write: a cut between two separate writes would leave 0x24
        // with the 1080p code, which a rerun only reports.
        file.putBytes(entry.codingTypeOffset, ByteString{kCodingTypeHevcUhd, to2160p(format)},
                      {{"video stream coding type", 1}, {"video format / frame rate", 1}});
        lines.push_back({"   -- Type marker adjusted to UHD-BD HEVC..."});
        lines.push_back({"   -- Format marker adjusted to 2160p..."});
        file.putBytes(kVersionMarkerOffset, marker, {{"version", marker.size()}});
        lines.push_back({"   -- Version marker adjusted to be 0300..."});
    }
}

}  // namespace quorvel
