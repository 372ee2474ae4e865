// Playlist adjuster fed arbitrary file bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "NavigationChecks.h"
#include "navigation/PlaylistAdjuster.h"

using namespace quorvel;
using namespace quorvel::fuzz;

namespace {

constexpr const char* kTarget = "fuzz_playlist";
constexpr std::size_t kMarkerSize = 8;
constexpr std::size_t kExtensionAddress = 16;

// Every byte that differs must be the marker, the extension address or block, or a coding
// re-mark (type byte and the format byte after it).
void checkChange(const ByteString& before, const ByteString& after, bool found) {
    const ByteString block = hdrExtensionBlock();
    FUZZ_CHECK(kTarget, extensionChangeIsSound(before, after, kExtensionAddress, block),
               "the size or the extension address changed in a way no run makes");
    bool anyRemark = false;
    for (std::size_t p = 0; p < before.size(); ++p) {
        if (before[p] == after[p]) continue;
        if (p < kMarkerSize) {
            FUZZ_CHECK(kTarget, equalAt(after, 0, "MPLS0300"), "a broken version marker");
            continue;
        }
        if (p >= kExtensionAddress && p < kExtensionAddress + 4) continue;
        if (isCodingRemark(before, after, p)) {
            anyRemark = true;
            continue;
        }
        if (p > 0 && isCodingRemark(before, after, p - 1)) continue;
        fail(kTarget, "byte " + std::to_string(p) + " changed outside every patched field");
    }
    if (found) FUZZ_CHECK(kTarget, equalAt(after, 0, "MPLS0300"), "true without the 0300 marker");
    if (anyRemark) FUZZ_CHECK(kTarget, found, "a stream re-marked but the result is false");
    if (!found && before.size() >= kMarkerSize) {
        FUZZ_CHECK(kTarget, std::equal(before.begin(), before.begin() + kMarkerSize, after.begin()),
                   "the marker was written but the result is false");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchPath("00000.mpls");
    writeWhole(path, data, size);
    const ByteString before(data, data + size);

    // A check says what the run will do, and does nothing itself.
    const ByteString block = hdrExtensionBlock();
    const Adjustment planned = adjustPlaylist(path, block, AdjustMode::Check);
    FUZZ_CHECK(kTarget, readWhole(path) == before, "a check changed the file");

    const bool found = UHD_Adjust_MPLS(path, block).accepted;
    const ByteString after = readWhole(path);
    checkChange(before, after, found);
    FUZZ_CHECK(kTarget, planned.accepted == found, "the check and the run disagree");
    FUZZ_CHECK(kTarget, applyChanges(before, planned.changes, path) == after,
               "the run changed other bytes than the check reported");
    if (!found) FUZZ_CHECK(kTarget, after == before, "refused, yet the file changed");

    // The adjuster is a function of the file's bytes: when nothing changed, a second run is
    // the first one again.
    if (after == before) return 0;

    // A second run over its own result changes nothing and says the same.
    const bool foundAgain = UHD_Adjust_MPLS(path, block).accepted;
    FUZZ_CHECK(kTarget, readWhole(path) == after, "a second run changed the file");
    FUZZ_CHECK(kTarget, foundAgain == found, "a second run gave another result");
    return 0;
}
