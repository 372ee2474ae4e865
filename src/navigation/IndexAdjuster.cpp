#include "navigation/IndexAdjuster.h"

#include <optional>

#include "fileio/BigEndian.h"
#include "fileio/NavigationFile.h"
#include "navigation/StructureCheck.h"

namespace quorvel {

namespace {

// index.bdmv: type indicator and version at 0..7, the Indexes start address at 8..11, extension
// data start address at 12..15; AppInfoBDMV follows the header.
constexpr std::int64_t kIndexMarkerOffset = 0;
constexpr std::int64_t kIndexesAddress = 8;
constexpr std::int64_t kIndexExtensionAddress = 12;
constexpr std::int64_t kIndexHeaderSize = 16;
// MovieObject.bdmv: type indicator and version at 0..7, extension data start address at 8..11;
// the movie objects follow the header.
constexpr std::int64_t kMovieObjectMarkerOffset = 0;
constexpr std::int64_t kMovieObjectExtensionAddress = 8;
constexpr std::int64_t kMovieObjectHeaderSize = 8;
constexpr std::size_t kMarkerSize = 8;

constexpr const char* kIndexTypeCode = "INDX";
constexpr const char* kMovieObjectTypeCode = "MOBJ";
constexpr const char* kIndexMarker = "INDX0300";
constexpr const char* kMovieObjectMarker = "MOBJ0300";

// The UHD index extension: one extension entry (ID1 3, ID2 1) carrying an 8-byte payload.
constexpr std::int32_t kBlockLengthAfterField = 32;
constexpr std::int32_t kBlockDataStart = 24;
constexpr std::int32_t kBlockEntryCount = 1;
constexpr std::int16_t kEntryId1 = 3;
constexpr std::int16_t kEntryId2 = 1;
constexpr std::int32_t kEntryDataStart = 24;
constexpr std::int32_t kEntryDataLength = 12;
constexpr std::int32_t kPayloadLength = 8;
constexpr std::uint8_t kPayload[] = {0x51, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};

ByteString& operator<<(ByteString& out, const ByteString& more) {
    out.insert(out.end(), more.begin(), more.end());
    return out;
}

ByteString uhdIndexExtensionBlock() {
    ByteString block;
    block << be32ToBytes(kBlockLengthAfterField) << be32ToBytes(kBlockDataStart)
          << be32ToBytes(kBlockEntryCount) << be16ToBytes(kEntryId1) << be16ToBytes(kEntryId2)
          << be32ToBytes(kEntryDataStart) << be32ToBytes(kEntryDataLength)
          << be32ToBytes(kPayloadLength);
    block.insert(block.end(), std::begin(kPayload), std::end(kPayload));
    return block;
}

// What the index patch will do, decided before its first write.
struct IndexPlan {
    bool addExtension = false;
    // Where the block will sit: the old length, or the start of a block a cut run left behind.
    std::int64_t blockAddress = 0;
    bool blockAlreadyThere = false;
};

// Refuses a MovieObject file this conversion is not for, or one whose blocks lead outside it.
void walkMovieObject(const NavigationFile& movieObject) {
    navigation::requireHeader(movieObject, kMovieObjectHeaderSize);
    navigation::requireTypeAndVersion(movieObject, kMovieObjectTypeCode);
    navigation::requireBlock(movieObject, "MovieObjects", navigation::kNavigationHeaderSize);
    navigation::requireAddressedBlock(movieObject, "ExtensionData", kMovieObjectExtensionAddress,
                                      true);
}

IndexPlan walkIndex(const NavigationFile& index, const ByteString& block) {
    navigation::requireHeader(index, kIndexHeaderSize);
    navigation::requireTypeAndVersion(index, kIndexTypeCode);
    navigation::requireBlock(index, "AppInfoBDMV", navigation::kNavigationHeaderSize);
    navigation::requireAddressedBlock(index, "Indexes", kIndexesAddress);
    const std::int64_t extension =
        navigation::requireAddressedBlock(index, "ExtensionData", kIndexExtensionAddress, true);
    IndexPlan plan;
    // Already extended: with the UHD entry the extension is not touched; any other extension
    // data are refused.
    if (extension != 0) {
        navigation::requireUhdExtension(index, extension, static_cast<std::uint16_t>(kEntryId1),
                                        static_cast<std::uint16_t>(kEntryId2));
        return plan;
    }

    plan.addExtension = true;
    const navigation::AppendedBlock placed =
        navigation::placeAppendedBlock(index, block, kIndexHeaderSize);
    plan.blockAddress = placed.address;
    plan.blockAlreadyThere = placed.alreadyThere;
    return plan;
}

}  // namespace

Adjustment adjustIndexAndMovieObject(const std::string& index, const std::string& movieobject,
                                     AdjustMode mode) {
    Adjustment result;
    // Which file a failure concerns, for its log line.
    std::string kind = "MovieObject file";
    std::string current = movieobject;
    const std::optional<std::string> refusal = navigation::refusalOf([&] {
        // Both files are opened and checked before either is written, so a missing, truncated
        // or unwritable MovieObject does not leave a half-converted pair behind.
        NavigationFile movieObjectFile(movieobject, mode);
        walkMovieObject(movieObjectFile);
        kind = "index file";
        current = index;
        NavigationFile indexFile(index, mode);
        const ByteString block = uhdIndexExtensionBlock();
        const IndexPlan plan = walkIndex(indexFile, block);

        // The block goes first: it is the one write that needs room on the disk, and a failed
        // append is cut back. Its address goes after it, guarded by the stored address: once it
        // is set, later runs append nothing, and a cut between the two writes leaves a header
        // that still says "no extension", so the rerun adopts the block. The barriers keep that
        // order on the disk through a power cut too.
        if (plan.addExtension && !plan.blockAlreadyThere) {
            indexFile.putBytes(plan.blockAddress, block, {{"UHD index extension", block.size()}});
        }
        indexFile.barrier();
        indexFile.putBytes(kIndexMarkerOffset, asciiBytes(kIndexMarker),
                           {{"version", kMarkerSize}});
        indexFile.barrier();
        if (plan.addExtension) {
            indexFile.putBE32(kIndexExtensionAddress, static_cast<std::int32_t>(plan.blockAddress),
                              "extension data start");
            result.lines.push_back({" - Added UHD-BD extension..."});
        }
        indexFile.flush();
        result.lines.push_back({" - Checked/Updated version in Index file..."});

        kind = "MovieObject file";
        current = movieobject;
        movieObjectFile.putBytes(kMovieObjectMarkerOffset, asciiBytes(kMovieObjectMarker),
                                 {{"version", kMarkerSize}});
        movieObjectFile.flush();
        result.lines.push_back({" - Checked/Updated version in MovieObject file..."});

        // Both files are flushed already, each before its line.
        result.accepted = true;
        navigation::collectChanges(result, "index file", indexFile);
        if (result.accepted) {
            navigation::collectChanges(result, "MovieObject file", movieObjectFile);
        }
    });
    if (refusal) navigation::refuse(result, kind, current, *refusal);
    return result;
}

Adjustment UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject) {
    return adjustIndexAndMovieObject(index, movieObject, AdjustMode::Write);
}

}  // namespace quorvel
