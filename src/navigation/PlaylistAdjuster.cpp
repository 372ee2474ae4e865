#include "navigation/PlaylistAdjuster.h"

#include <algorithm>
#include <vector>

#include "fileio/NavigationFile.h"
#include "navigation/StreamCoding.h"
#include "navigation/StructureCheck.h"

namespace quorvel {

namespace {

using navigation::AdjustRefused;
using navigation::requireInside;

// Playlist header.
constexpr std::int64_t kMplsMarkerOffset = 0;
constexpr std::int64_t kMplsPlayListStart = 8;
constexpr std::int64_t kMplsExtensionStart = 16;
// The header fields this adjuster uses end here; the play list must lie beyond them.
constexpr std::int64_t kMplsHeaderSize = 20;
constexpr const char* kMplsMarker = "MPLS0300";

// Play list, from its start P.
constexpr std::int64_t kPlayItemCountOffset = 6;
constexpr std::int64_t kFirstPlayItemOffset = 10;

// Play item, from its first byte I.
constexpr std::int64_t kItemLengthFieldSize = 2;
constexpr std::int64_t kItemFlagsOffset = 12;
constexpr std::uint8_t kMultiAngleMask = 0xF0;
constexpr std::int64_t kAngleCountOffset = 34;
constexpr std::int64_t kStreamTableOffset = 34;
constexpr std::int64_t kMultiAngleStreamTableOffset = 36;
constexpr std::int64_t kAngleEntrySize = 10;

// Stream number table, from its start S: the first primary video stream's attributes.
constexpr std::int64_t kVideoStreamCountOffset = 4;
constexpr std::int64_t kVideoCodingTypeOffset = 27;
constexpr std::int64_t kVideoFormatOffset = 28;

// The UHD extension block the scan builds is always this long.
constexpr std::size_t kUhdExtensionSize = 60;

// What the walk established before the first write.
struct PlaylistPlan {
    // Start S of the stream number table of each play item that has a primary video stream.
    std::vector<std::int64_t> videoTables;
    bool addExtension = false;
    std::int64_t extensionAddress = 0;
    bool extensionAlreadyThere = false;
};

PlaylistPlan walkPlaylist(const NavigationFile& file, const ByteString& extension) {
    const std::int64_t fileLength = file.length();
    if (fileLength < kMplsHeaderSize) {
        throw AdjustRefused("the file is " + std::to_string(fileLength) +
                            " bytes long, shorter than its " + std::to_string(kMplsHeaderSize) +
                            "-byte header");
    }

    const std::int64_t playList = navigation::addressValue(file.getBE32(kMplsPlayListStart));
    requireInside(playList, kFirstPlayItemOffset, kMplsHeaderSize, fileLength,
                  "the play list address " + navigation::hexAddress(playList) +
                      " does not leave room for a play list inside the file (" +
                      std::to_string(fileLength) + " bytes)");

    PlaylistPlan plan;
    const std::int16_t itemCount = file.getBE16(playList + kPlayItemCountOffset);
    std::int64_t item = playList + kFirstPlayItemOffset;
    // The end of the last structure the walk visits; an adopted extension block must follow it.
    std::int64_t walkedEnd = item;
    for (int k = 1; k <= itemCount; ++k) {
        const std::string name = "play item " + std::to_string(k);
        requireInside(
            item, kItemLengthFieldSize, 0, fileLength,
            name + " at offset " + std::to_string(item) + " runs past the end of the file");
        const std::int16_t itemLength = file.getBE16(item);
        if (itemLength < 0) {
            throw AdjustRefused(name + " has a negative length (" + std::to_string(itemLength) +
                                ")");
        }
        const std::int64_t itemEnd = item + kItemLengthFieldSize + itemLength;
        requireInside(item, itemEnd - item, 0, fileLength,
                      name + " (" + std::to_string(itemLength) + " bytes at offset " +
                          std::to_string(item) + ") runs past the end of the file");

        requireInside(item + kItemFlagsOffset, 1, item, itemEnd,
                      name + " is too short for its flags");
        std::int64_t table = item + kStreamTableOffset;
        if ((file.getByte(item + kItemFlagsOffset) & kMultiAngleMask) != 0) {
            requireInside(item + kAngleCountOffset, 1, item, itemEnd,
                          name + " is too short for its angle count");
            const std::uint8_t angles = file.getByte(item + kAngleCountOffset);
            if (angles == 0) throw AdjustRefused("multi-angle " + name + " has no angles");
            table = item + kMultiAngleStreamTableOffset + kAngleEntrySize * (angles - 1);
        }
        requireInside(table + kVideoStreamCountOffset, 1, item, itemEnd,
                      name + " is too short for its stream number table");
        if (file.getByte(table + kVideoStreamCountOffset) != 0) {
            requireInside(table + kVideoCodingTypeOffset, 2, item, itemEnd,
                          name + " is too short for its video stream entry");
            plan.videoTables.push_back(table);
        }
        item = itemEnd;
        walkedEnd = itemEnd;
    }

    // Guarded by the header address: a playlist that has extension data keeps it as it is.
    if (file.getBE32(kMplsExtensionStart) == 0) {
        if (extension.size() != kUhdExtensionSize) {
            throw AdjustRefused("the UHD extension block to append is " +
                                std::to_string(extension.size()) + " bytes instead of " +
                                std::to_string(kUhdExtensionSize));
        }
        plan.addExtension = true;
        if (navigation::endsWithBlock(file, extension, std::max(walkedEnd, kMplsHeaderSize))) {
            plan.extensionAlreadyThere = true;
            plan.extensionAddress = fileLength - static_cast<std::int64_t>(extension.size());
        } else {
            navigation::requireAddressable(fileLength, static_cast<std::int64_t>(extension.size()));
            plan.extensionAddress = fileLength;
        }
    }
    return plan;
}

}  // namespace

bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& mpls) {
    ctx.log.Status(ctx.log.TimeStamp() + " Checking/Adjusting MPLS file...");
    bool found = false;

    NavigationFile file(mpls);
    const ByteString& extension = ctx.state.uhdExtensionData;
    PlaylistPlan plan;
    try {
        plan = walkPlaylist(file, extension);
    } catch (const AdjustRefused& refused) {
        ctx.log.Status(navigation::refusalLine("playlist", mpls, refused.what()));
        return false;
    }

    for (const std::int64_t table : plan.videoTables) {
        const std::uint8_t codingType = file.getByte(table + kVideoCodingTypeOffset);
        if (codingType == kCodingTypeHevcSource) {
            ctx.log.Status(" - Found HEVC stream...");
            // Only a 1080p-coded stream is re-marked; any other format code is left alone.
            if ((file.getByte(table + kVideoFormatOffset) & kFormatCodeMask) == kFormat1080p) {
                file.putByte(table + kVideoCodingTypeOffset, kCodingTypeHevcUhd);
                ctx.log.Status("   -- Type marker adjusted to UHD-BD HEVC...");
                const std::uint8_t format = file.getByte(table + kVideoFormatOffset);
                file.putByte(table + kVideoFormatOffset, to2160p(format));
                ctx.log.Status("   -- Format marker adjusted to 2160p...");
                file.putBytes(kMplsMarkerOffset, asciiBytes(kMplsMarker));
                ctx.log.Status("   -- Version marker adjusted to be 0300...");
                found = true;
            } else {
                ctx.log.Status("   -- Stream doesn't appear to be a UHD source...");
            }
        } else if (codingType == kCodingTypeHevcUhd) {
            // Already re-marked (by an earlier run or by the muxer): reported, not changed.
            ctx.log.Status(" - Found UHD-BD marked HEVC stream...");
            logPreviousFormat(ctx, file.getByte(table + kVideoFormatOffset));
            file.putBytes(kMplsMarkerOffset, asciiBytes(kMplsMarker));
            found = true;
        }
    }

    if (plan.addExtension) {
        // The block goes in before its address: a cut between the two writes leaves the header
        // saying "no extension", and the rerun adopts the block it finds at the end.
        if (!plan.extensionAlreadyThere) file.putBytes(plan.extensionAddress, extension);
        file.putBE32(kMplsExtensionStart, static_cast<std::int32_t>(plan.extensionAddress));
    }
    return found;
}

}  // namespace quorvel
