#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fileio/NavigationFile.h"
#include "shared/LogLine.h"

// Stream coding values shared by the playlist and clip information adjusters, and the one
// routine that re-marks their HEVC video streams.
namespace quorvel {

// Stream coding type of HEVC video as the muxer marks it, and as UHD Blu-ray marks it.
inline constexpr std::uint8_t kCodingTypeHevcSource = 0x06;
inline constexpr std::uint8_t kCodingTypeHevcUhd = 0x24;

// Format byte: video format code in the high nibble, frame rate code in the low nibble.
inline constexpr std::uint8_t kFormatCodeMask = 0xF0;
inline constexpr std::uint8_t kFrameRateMask = 0x0F;
inline constexpr std::uint8_t kFormat1080p = 0x60;
inline constexpr std::uint8_t kFormat2160p = 0x80;
inline constexpr int kFormatCodeShift = 4;

// The format byte with its format code set to 2160p and its frame rate code kept.
inline std::uint8_t to2160p(std::uint8_t format) {
    return static_cast<std::uint8_t>((format & kFrameRateMask) | kFormat2160p);
}

// What an HEVC-capable stream entry says, read before anything is written.
enum class VideoCoding {
    Convertible,  // 0x06 with the 1080p format code: re-marked
    Marked,       // 0x24 already: only reported
    NotUhdSource, // 0x06 with another format code: not a picture this conversion is for
    NotHevc,      // any other coding type
};
VideoCoding videoCodingOf(std::uint8_t codingType, std::uint8_t format);
// Why an entry of that coding cannot be converted, for a refusal; `what` names the entry.
std::string videoCodingProblem(const std::string& what, std::uint8_t codingType,
                               std::uint8_t format);

// How a file marks its re-marked HEVC streams.
struct HevcMarking {
    const char* versionMarker;  // written at offset 0, e.g. "MPLS0300"
    // The playlist says that it found a stream already marked for UHD; the clip does not.
    bool reportMarkedStreams = false;
    // The clip's dynamic range and colour byte, written before the coding of each stream.
    std::optional<std::uint8_t> dynamicRange;
};

// One HEVC stream entry: where its coding type lies (the format byte follows it) and, in a clip,
// its dynamic range byte.
struct HevcEntry {
    std::int64_t codingTypeOffset = 0;
    std::int64_t dynamicRangeOffset = -1;
};

// Re-marks the entries (each Convertible or Marked) in order: a 0x06 stream becomes 0x24 with the
// 2160p code, a 0x24 stream is only reported; the version marker is written for each. Each
// stream's lines go to `lines` as its writes are made, so that a write that fails leaves the
// lines of the writes before it in place. The entries must have been walked and checked first.
void remarkHevcStreams(NavigationFile& file, const std::vector<HevcEntry>& entries,
                       const HevcMarking& marking, LogLines& lines);

}  // namespace quorvel
