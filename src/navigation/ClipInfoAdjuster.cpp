#include "navigation/ClipInfoAdjuster.h"

#include <vector>

#include "fileio/NavigationFile.h"
#include "navigation/StreamCoding.h"
#include "navigation/StructureCheck.h"

namespace quorvel {

namespace {

using navigation::AdjustRefused;
using navigation::requireInside;

// Clip information header.
constexpr std::int64_t kClpiMarkerOffset = 0;
constexpr std::int64_t kClpiProgramInfoStart = 12;
// The header fields this adjuster uses end here; the program information lies beyond them.
constexpr std::int64_t kClpiHeaderSize = 16;
constexpr const char* kClpiMarker = "HDMV0300";

// Program information, from its start Q: the first program sequence's stream count and entries.
constexpr std::int64_t kStreamCountOffset = 12;
constexpr std::int64_t kFirstStreamOffset = 14;

// Stream entry, from its first byte E: PID (2 bytes), then the length-prefixed coding info.
constexpr std::int64_t kCodingInfoLengthOffset = 2;
constexpr std::int64_t kCodingInfoOffset = 3;
constexpr std::int64_t kCodingTypeOffset = 3;
constexpr std::int64_t kFormatOffset = 4;
constexpr std::int64_t kDynamicRangeOffset = 6;

// Dynamic range type in the high nibble, colour space in the low nibble.
constexpr std::uint8_t kDynamicRangeHdr10Bt2020 = 0x12;
constexpr std::uint8_t kDynamicRangeSdrBt709 = 0x01;

struct ClipPlan {
    // Start E of each stream entry whose coding type this adjuster acts on.
    std::vector<std::int64_t> hevcEntries;
    bool needsHdrFlag = false;
};

ClipPlan walkClipInfo(const NavigationFile& file) {
    const std::int64_t fileLength = file.length();
    if (fileLength < kClpiHeaderSize) {
        throw AdjustRefused("the file is " + std::to_string(fileLength) +
                            " bytes long, shorter than its " + std::to_string(kClpiHeaderSize) +
                            "-byte header");
    }

    const std::int64_t program = navigation::addressValue(file.getBE32(kClpiProgramInfoStart));
    requireInside(program, kFirstStreamOffset, kClpiHeaderSize, fileLength,
                  "the program information address " + navigation::hexAddress(program) +
                      " does not leave room for program information inside the file (" +
                      std::to_string(fileLength) + " bytes)");

    ClipPlan plan;
    const std::uint8_t streamCount = file.getByte(program + kStreamCountOffset);
    std::int64_t entry = program + kFirstStreamOffset;
    for (int k = 1; k <= streamCount; ++k) {
        const std::string name = "stream entry " + std::to_string(k);
        const std::string pastEnd =
            name + " at offset " + std::to_string(entry) + " runs past the end of the file";
        requireInside(entry, kCodingInfoOffset, 0, fileLength, pastEnd);
        const std::int64_t entryEnd =
            entry + kCodingInfoOffset + file.getByte(entry + kCodingInfoLengthOffset);
        requireInside(entry, entryEnd - entry, 0, fileLength, pastEnd);
        requireInside(entry + kCodingTypeOffset, 1, entry, entryEnd,
                      name + " has no stream coding information");

        const std::uint8_t codingType = file.getByte(entry + kCodingTypeOffset);
        if (codingType == kCodingTypeHevcSource) {
            requireInside(entry + kCodingTypeOffset, kDynamicRangeOffset - kCodingTypeOffset + 1,
                          entry, entryEnd, name + " is too short for HEVC video attributes");
            plan.hevcEntries.push_back(entry);
            plan.needsHdrFlag = true;
        } else if (codingType == kCodingTypeHevcUhd) {
            requireInside(entry + kFormatOffset, 1, entry, entryEnd,
                          name + " is too short for its format byte");
            plan.hevcEntries.push_back(entry);
        }
        entry = entryEnd;
    }
    return plan;
}

}  // namespace

bool UHD_Adjust_CLPI(JobContext& ctx, const std::string& clpi) {
    ctx.log.Status(ctx.log.TimeStamp() + " Checking/Adjusting CLPI file...");
    bool found = false;

    NavigationFile file(clpi);
    ClipPlan plan;
    bool isHdr = false;
    try {
        plan = walkClipInfo(file);
        if (plan.needsHdrFlag) {
            // The dynamic range byte follows the video track the scan chose. Without such a
            // record there is nothing to base it on, so the file is not touched at all.
            const std::int32_t chosen = ctx.state.videoTrackIndex;
            if (chosen < 0 || static_cast<std::size_t>(chosen) >= ctx.state.mediaTracks.size()) {
                throw AdjustRefused("the scan left no record for video track " +
                                    std::to_string(chosen) + ", so its dynamic range is unknown");
            }
            isHdr = ctx.state.mediaTracks[static_cast<std::size_t>(chosen)].isHdr;
        }
    } catch (const AdjustRefused& refused) {
        ctx.log.Status(navigation::refusalLine("clip information file", clpi, refused.what()));
        return false;
    }

    for (const std::int64_t entry : plan.hevcEntries) {
        const std::uint8_t codingType = file.getByte(entry + kCodingTypeOffset);
        if (codingType == kCodingTypeHevcSource) {
            ctx.log.Status(" - Found HEVC stream...");
            // Only a 1080p-coded stream is re-marked; the version and dynamic range byte are
            // written for every source-marked HEVC stream.
            if ((file.getByte(entry + kFormatOffset) & kFormatCodeMask) == kFormat1080p) {
                file.putByte(entry + kCodingTypeOffset, kCodingTypeHevcUhd);
                ctx.log.Status("   -- Type marker adjusted to UHD-BD HEVC...");
                const std::uint8_t format = file.getByte(entry + kFormatOffset);
                file.putByte(entry + kFormatOffset, to2160p(format));
                ctx.log.Status("   -- Format marker adjusted to 2160p...");
            } else {
                ctx.log.Status("   -- Stream doesn't appear to be a UHD source...");
            }
            file.putBytes(kClpiMarkerOffset, asciiBytes(kClpiMarker));
            ctx.log.Status("   -- Version marker adjusted to be 0300...");
            file.putByte(entry + kDynamicRangeOffset,
                         isHdr ? kDynamicRangeHdr10Bt2020 : kDynamicRangeSdrBt709);
            found = true;
        } else if (codingType == kCodingTypeHevcUhd) {
            // Already re-marked: reported only, so a second run changes nothing.
            logPreviousFormat(ctx, file.getByte(entry + kFormatOffset));
            file.putBytes(kClpiMarkerOffset, asciiBytes(kClpiMarker));
            found = true;
        }
    }
    return found;
}

}  // namespace quorvel
