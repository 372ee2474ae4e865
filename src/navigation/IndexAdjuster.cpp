#include "navigation/IndexAdjuster.h"

#include <exception>

#include "fileio/BigEndian.h"
#include "fileio/NavigationFile.h"
#include "navigation/StructureCheck.h"

namespace quorvel {

namespace {

using navigation::AdjustRefused;

// index.bdmv: type indicator and version at 0..7, extension data start address at 12..15.
constexpr std::int64_t kIndexMarkerOffset = 0;
constexpr std::int64_t kIndexExtensionAddress = 12;
constexpr std::int64_t kIndexHeaderSize = 16;
// MovieObject.bdmv: type indicator and version at 0..7.
constexpr std::int64_t kMovieObjectMarkerOffset = 0;
constexpr std::int64_t kMovieObjectHeaderSize = 8;

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

IndexPlan walkIndex(const NavigationFile& index, const ByteString& block) {
    const std::int64_t length = index.length();
    if (length < kIndexHeaderSize) {
        throw AdjustRefused("the file is " + std::to_string(length) +
                            " bytes long, shorter than its " + std::to_string(kIndexHeaderSize) +
                            "-byte header");
    }
    IndexPlan plan;
    // Already extended (with our block or any other): the extension is not touched.
    if (index.getBE32(kIndexExtensionAddress) != 0) return plan;

    plan.addExtension = true;
    if (navigation::endsWithBlock(index, block, kIndexHeaderSize)) {
        plan.blockAlreadyThere = true;
        plan.blockAddress = length - static_cast<std::int64_t>(block.size());
    } else {
        navigation::requireAddressable(length, static_cast<std::int64_t>(block.size()));
        plan.blockAddress = length;
    }
    return plan;
}

void walkMovieObject(const NavigationFile& movieObject) {
    const std::int64_t length = movieObject.length();
    if (length < kMovieObjectHeaderSize) {
        throw AdjustRefused("the file is " + std::to_string(length) +
                            " bytes long, shorter than its " +
                            std::to_string(kMovieObjectHeaderSize) + "-byte header");
    }
}

}  // namespace

bool UHD_Adjust_BDMV(JobContext& ctx, const std::string& index, const std::string& movieobject) {
    ctx.log.Status(ctx.log.TimeStamp() + " Checking/Adjusting BDMV files...");

    // Which file a failure concerns, for its log line.
    std::string kind = "MovieObject file";
    std::string current = movieobject;
    try {
        // Both files are checked before either is written, so a missing or truncated
        // MovieObject does not leave a half-converted pair behind.
        {
            const NavigationFile movieObjectFile(movieobject);
            walkMovieObject(movieObjectFile);
        }

        kind = "index file";
        current = index;
        {
            NavigationFile indexFile(index);
            const ByteString block = uhdIndexExtensionBlock();
            const IndexPlan plan = walkIndex(indexFile, block);

            indexFile.putBytes(kIndexMarkerOffset, asciiBytes(kIndexMarker));
            // Guarded by the stored address: once it is set, later runs append nothing. The
            // block goes in before its address, so a cut between the two writes leaves a file
            // whose header still says "no extension" (and the rerun adopts the block).
            if (plan.addExtension) {
                if (!plan.blockAlreadyThere) indexFile.putBytes(plan.blockAddress, block);
                indexFile.putBE32(kIndexExtensionAddress,
                                  static_cast<std::int32_t>(plan.blockAddress));
                ctx.log.Status(" - Added UHD-BD extension...");
            }
        }
        ctx.log.Status(" - Checked/Updated version in Index file...");

        kind = "MovieObject file";
        current = movieobject;
        {
            NavigationFile movieObjectFile(movieobject);
            walkMovieObject(movieObjectFile);
            movieObjectFile.putBytes(kMovieObjectMarkerOffset, asciiBytes(kMovieObjectMarker));
        }
        ctx.log.Status(" - Checked/Updated version in MovieObject file...");
        return true;
    } catch (const AdjustRefused& refused) {
        ctx.log.Status(navigation::refusalLine(kind, current, refused.what()));
        return false;
    } catch (const std::exception& error) {
        // An I/O failure: the method's result is false; the line says what failed.
        ctx.log.Status(" - Cannot adjust " + kind + ": " + std::string(error.what()) + ".");
        return false;
    }
}

}  // namespace quorvel
