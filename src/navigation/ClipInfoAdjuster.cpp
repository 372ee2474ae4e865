#include "navigation/ClipInfoAdjuster.h"

#include <vector>

#include "fileio/NavigationFile.h"
#include "navigation/StreamCoding.h"
#include "navigation/StructureCheck.h"
#include "shared/HexText.h"

namespace quorvel {

namespace {

using navigation::AdjustRefused;
using navigation::requireInside;

constexpr const char* kKind = "clip information file";

// Clip information header: SequenceInfo, ProgramInfo, CPI, ClipMark and extension data start
// addresses; ClipInfo follows the header.
constexpr std::int64_t kClpiSequenceInfoStart = 8;
constexpr std::int64_t kClpiProgramInfoStart = 12;
constexpr std::int64_t kClpiCpiStart = 16;
constexpr std::int64_t kClpiClipMarkStart = 20;
constexpr std::int64_t kClpiExtensionStart = 24;
// The header fields this adjuster uses end here; the program information lies beyond them.
constexpr std::int64_t kClpiHeaderSize = 16;
constexpr const char* kClpiTypeCode = "HDMV";
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

// Start E of each HEVC stream entry, checked to hold the fields the re-mark touches.
std::vector<HevcEntry> walkClipInfo(const NavigationFile& file) {
    navigation::requireHeader(file, kClpiHeaderSize);
    navigation::requireTypeAndVersion(file, kClpiTypeCode);
    const std::int64_t fileLength = file.length();
    const std::int64_t program = navigation::addressValue(file.getBE32(kClpiProgramInfoStart));
    requireInside(program, kFirstStreamOffset, kClpiHeaderSize, fileLength,
                  "the program information address " + hexNumber(program, 8) +
                      " does not leave room for program information inside the file (" +
                      std::to_string(fileLength) + " bytes)");

    std::vector<HevcEntry> entries;
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
        if (codingType == kCodingTypeHevcSource || codingType == kCodingTypeHevcUhd) {
            requireInside(entry + kCodingTypeOffset, kDynamicRangeOffset - kCodingTypeOffset + 1,
                          entry, entryEnd, name + " is too short for HEVC video attributes");
            const std::uint8_t format = file.getByte(entry + kFormatOffset);
            if (videoCodingOf(codingType, format) == VideoCoding::NotUhdSource) {
                throw AdjustRefused(videoCodingProblem("the video stream of " + name, codingType,
                                                       format));
            }
            entries.push_back({entry + kCodingTypeOffset, entry + kDynamicRangeOffset});
        }
        entry = entryEnd;
    }
    if (entries.empty()) {
        throw AdjustRefused("its first program sequence has no HEVC video stream (coding type " +
                            hexNumber(kCodingTypeHevcSource, 2) + " or " +
                            hexNumber(kCodingTypeHevcUhd, 2) + ")");
    }

    navigation::requireBlock(file, "ClipInfo", navigation::kNavigationHeaderSize);
    navigation::requireAddressedBlock(file, "SequenceInfo", kClpiSequenceInfoStart);
    navigation::requireAddressedBlock(file, "ProgramInfo", kClpiProgramInfoStart);
    navigation::requireAddressedBlock(file, "CPI", kClpiCpiStart);
    navigation::requireAddressedBlock(file, "ClipMark", kClpiClipMarkStart);
    navigation::requireAddressedBlock(file, "ExtensionData", kClpiExtensionStart, true);
    return entries;
}

}  // namespace

Adjustment adjustClipInfo(const std::string& clpi, bool isHdr, AdjustMode mode) {
    Adjustment result;
    const std::optional<std::string> refusal = navigation::refusalOf([&] {
        NavigationFile file(clpi, mode);
        // The walk refuses before the first write.
        const std::vector<HevcEntry> entries = walkClipInfo(file);
        remarkHevcStreams(file, entries,
                          HevcMarking{kClpiMarker, false,
                                      isHdr ? kDynamicRangeHdr10Bt2020 : kDynamicRangeSdrBt709},
                          result.lines);
        navigation::complete(result, kKind, file);
    });
    if (refusal) navigation::refuse(result, kKind, clpi, *refusal);
    return result;
}

Adjustment UHD_Adjust_CLPI(const std::string& clpi, bool isHdr) {
    return adjustClipInfo(clpi, isHdr, AdjustMode::Write);
}

}  // namespace quorvel
