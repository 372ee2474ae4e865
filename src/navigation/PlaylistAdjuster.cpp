#include "navigation/PlaylistAdjuster.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "fileio/NavigationFile.h"
#include "navigation/StreamCoding.h"
#include "navigation/StructureCheck.h"
#include "shared/HexText.h"

namespace quorvel {

namespace {

using navigation::AdjustRefused;
using navigation::requireInside;

constexpr const char* kKind = "playlist";

// Playlist header: PlayList, PlayListMark and extension data start addresses; AppInfoPlayList
// follows the header.
constexpr std::int64_t kMplsPlayListStart = 8;
constexpr std::int64_t kMplsPlayListMarkStart = 12;
constexpr std::int64_t kMplsExtensionStart = 16;
// The header fields this adjuster uses end here; the play list must lie beyond them.
constexpr std::int64_t kMplsHeaderSize = 20;
constexpr const char* kMplsTypeCode = "MPLS";
constexpr const char* kMplsMarker = "MPLS0300";
// The entry of the UHD block in a playlist's extension data.
constexpr std::uint16_t kUhdExtensionId1 = 3;
constexpr std::uint16_t kUhdExtensionId2 = 5;

// Play list, from its start P.
constexpr std::int64_t kPlayItemCountOffset = 6;
constexpr std::int64_t kFirstPlayItemOffset = 10;

// Play item, from its first byte I: its length, the clip it plays, flags, angles.
constexpr std::int64_t kItemLengthFieldSize = 2;
constexpr std::int64_t kClipNameOffset = 2;
constexpr std::int64_t kClipNameSize = 5;
constexpr std::int64_t kItemFlagsOffset = 12;
constexpr std::uint8_t kMultiAngleMask = 0xF0;
constexpr std::int64_t kAngleCountOffset = 34;
constexpr std::int64_t kStreamTableOffset = 34;
constexpr std::int64_t kMultiAngleStreamTableOffset = 36;
// Further angles: 10-byte entries from I+36, each beginning with the clip's name.
constexpr std::int64_t kFirstAngleEntryOffset = 36;
constexpr std::int64_t kAngleEntrySize = 10;

// Stream number table, from its start S: the first primary video stream's attributes.
constexpr std::int64_t kVideoStreamCountOffset = 4;
constexpr std::int64_t kVideoCodingTypeOffset = 27;
constexpr std::int64_t kVideoFormatOffset = 28;

// The UHD extension block the scan builds is always this long.
constexpr std::size_t kUhdExtensionSize = 60;

// What the walk established before the first write.
struct PlaylistPlan {
    std::vector<HevcEntry> videoEntries;
    std::vector<std::string> clipNames;
    bool addExtension = false;
    std::int64_t extensionAddress = 0;
    bool extensionAlreadyThere = false;
    // The end of the last play item: an adopted extension block must lie behind it.
    std::int64_t walkedEnd = 0;
};

// The clip name at `offset`. It becomes part of a file path, so it must be the five digits a
// disc uses and nothing else (no separator, no "..").
void addClipName(const NavigationFile& file, std::int64_t offset, const std::string& what,
                 std::vector<std::string>& names) {
    const ByteString name = file.getBytes(offset, kClipNameSize);
    if (!std::all_of(name.begin(), name.end(), [](std::uint8_t c) { return c >= '0' && c <= '9'; })) {
        throw AdjustRefused(what + " names the clip \"" + navigation::printableText(name) +
                            "\", which is not a five-digit clip name");
    }
    const std::string text(name.begin(), name.end());
    if (std::find(names.begin(), names.end(), text) == names.end()) names.push_back(text);
}

PlaylistPlan walkPlayItems(const NavigationFile& file) {
    navigation::requireHeader(file, kMplsHeaderSize);
    navigation::requireTypeAndVersion(file, kMplsTypeCode);
    const std::int64_t fileLength = file.length();
    const std::int64_t playList = navigation::addressValue(file.getBE32(kMplsPlayListStart));
    requireInside(playList, kFirstPlayItemOffset, kMplsHeaderSize, fileLength,
                  "the play list address " + hexNumber(playList, 8) +
                      " does not leave room for a play list inside the file (" +
                      std::to_string(fileLength) + " bytes)");

    PlaylistPlan plan;
    const std::uint16_t itemCount = file.getU16(playList + kPlayItemCountOffset);
    if (itemCount == 0) throw AdjustRefused("it has no play items");
    std::int64_t item = playList + kFirstPlayItemOffset;
    for (int k = 1; k <= itemCount; ++k) {
        const std::string name = "play item " + std::to_string(k);
        requireInside(
            item, kItemLengthFieldSize, 0, fileLength,
            name + " at offset " + std::to_string(item) + " runs past the end of the file");
        const std::uint16_t itemLength = file.getU16(item);
        const std::int64_t itemEnd = item + kItemLengthFieldSize + itemLength;
        requireInside(item, itemEnd - item, 0, fileLength,
                      name + " (" + std::to_string(itemLength) + " bytes at offset " +
                          std::to_string(item) + ") runs past the end of the file");

        requireInside(item + kItemFlagsOffset, 1, item, itemEnd,
                      name + " is too short for its flags");
        addClipName(file, item + kClipNameOffset, name, plan.clipNames);
        std::int64_t table = item + kStreamTableOffset;
        if ((file.getByte(item + kItemFlagsOffset) & kMultiAngleMask) != 0) {
            requireInside(item + kAngleCountOffset, 1, item, itemEnd,
                          name + " is too short for its angle count");
            const std::uint8_t angles = file.getByte(item + kAngleCountOffset);
            if (angles == 0) throw AdjustRefused("multi-angle " + name + " has no angles");
            table = item + kMultiAngleStreamTableOffset + kAngleEntrySize * (angles - 1);
            requireInside(table, 0, item, itemEnd, name + " is too short for its stream number table");
            for (int angle = 2; angle <= angles; ++angle) {
                addClipName(file, item + kFirstAngleEntryOffset + kAngleEntrySize * (angle - 2),
                            "angle " + std::to_string(angle) + " of " + name, plan.clipNames);
            }
        }
        requireInside(table + kVideoStreamCountOffset, 1, item, itemEnd,
                      name + " is too short for its stream number table");
        if (file.getByte(table + kVideoStreamCountOffset) != 0) {
            requireInside(table + kVideoCodingTypeOffset, 2, item, itemEnd,
                          name + " is too short for its video stream entry");
            const std::uint8_t codingType = file.getByte(table + kVideoCodingTypeOffset);
            const std::uint8_t format = file.getByte(table + kVideoFormatOffset);
            const VideoCoding coding = videoCodingOf(codingType, format);
            // Every play item must be convertible, or the title would play half as UHD.
            if (coding == VideoCoding::NotHevc || coding == VideoCoding::NotUhdSource) {
                throw AdjustRefused(
                    videoCodingProblem("the video stream of " + name, codingType, format));
            }
            plan.videoEntries.push_back({table + kVideoCodingTypeOffset});
        }
        item = itemEnd;
    }
    if (plan.videoEntries.empty()) throw AdjustRefused("no play item has a primary video stream");
    plan.walkedEnd = item;

    navigation::requireBlock(file, "AppInfoPlayList", navigation::kNavigationHeaderSize);
    navigation::requireAddressedBlock(file, "PlayList", kMplsPlayListStart);
    navigation::requireAddressedBlock(file, "PlayListMark", kMplsPlayListMarkStart);
    const std::int64_t extension =
        navigation::requireAddressedBlock(file, "ExtensionData", kMplsExtensionStart, true);
    if (extension != 0) {
        navigation::requireUhdExtension(file, extension, kUhdExtensionId1, kUhdExtensionId2);
    }
    return plan;
}

// Where the extension block goes, if it is to be added.
void planExtension(const NavigationFile& file, const ByteString& extension, PlaylistPlan& plan) {
    // Guarded by the header address: a playlist whose extension data hold the UHD entry (the walk
    // refused any other) keeps them as they are.
    if (file.getBE32(kMplsExtensionStart) == 0) {
        if (extension.size() != kUhdExtensionSize) {
            throw AdjustRefused("the UHD extension block to append is " +
                                std::to_string(extension.size()) + " bytes instead of " +
                                std::to_string(kUhdExtensionSize));
        }
        plan.addExtension = true;
        // An adopted block must follow every structure the walk visited.
        const navigation::AppendedBlock placed = navigation::placeAppendedBlock(
            file, extension, std::max(plan.walkedEnd, kMplsHeaderSize));
        plan.extensionAddress = placed.address;
        plan.extensionAlreadyThere = placed.alreadyThere;
    }
}

}  // namespace

Adjustment adjustPlaylist(const std::string& mpls, const ByteString& extension, AdjustMode mode) {
    Adjustment result;
    const std::optional<std::string> refusal = navigation::refusalOf([&] {
        NavigationFile file(mpls, mode);
        // The walk refuses before the first write.
        PlaylistPlan plan = walkPlayItems(file);
        planExtension(file, extension, plan);

        // The block goes first: it is the one write that needs room on the disk, and a failed
        // append is cut back, so a full disk leaves the playlist as it was. Its address goes
        // last: until then the header says "no extension", and a rerun after a cut adopts the
        // block it finds at the end. The barriers keep that order on the disk through a power
        // cut too: the address never lands without the block it points at.
        if (plan.addExtension && !plan.extensionAlreadyThere) {
            file.putBytes(plan.extensionAddress, extension,
                          {{"UHD extension data", extension.size()}});
        }
        file.barrier();
        remarkHevcStreams(file, plan.videoEntries, HevcMarking{kMplsMarker, true, {}},
                          result.lines);
        file.barrier();
        if (plan.addExtension) {
            file.putBE32(kMplsExtensionStart, static_cast<std::int32_t>(plan.extensionAddress),
                         "extension data start");
        }
        navigation::complete(result, kKind, file);
    });
    if (refusal) navigation::refuse(result, kKind, mpls, *refusal);
    return result;
}

PlaylistTitle readPlaylistTitle(const std::string& mpls) {
    PlaylistTitle title;
    const std::optional<std::string> refusal = navigation::refusalOf([&] {
        const NavigationFile file(mpls, AdjustMode::Check);
        title.clipNames = walkPlayItems(file).clipNames;
    });
    if (refusal) title.reason = *refusal;
    return title;
}

Adjustment UHD_Adjust_MPLS(const std::string& mpls, const ByteString& uhdExtension) {
    return adjustPlaylist(mpls, uhdExtension, AdjustMode::Write);
}

}  // namespace quorvel
