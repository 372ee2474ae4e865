// Clip information adjuster fed arbitrary file bytes.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "NavigationChecks.h"
#include "navigation/ClipInfoAdjuster.h"

using namespace quorvel;
using namespace quorvel::fuzz;

namespace {

constexpr const char* kTarget = "fuzz_clipinfo";
constexpr std::size_t kMarkerSize = 8;
constexpr std::uint8_t kSourceHevc = 0x06;
// Dynamic range byte sits 3 bytes behind the coding type (E+6 against E+3).
constexpr std::size_t kDynamicRangeAfterType = 3;
constexpr std::uint8_t kHdrByte = 0x12;
constexpr std::uint8_t kSdrByte = 0x01;

void checkChange(const ByteString& before, const ByteString& after, bool found, bool hdr) {
    FUZZ_CHECK(kTarget, after.size() == before.size(), "the size changed");
    const std::uint8_t dynamicRange = hdr ? kHdrByte : kSdrByte;
    bool anyChange = false;
    for (std::size_t p = 0; p < before.size(); ++p) {
        if (before[p] == after[p]) continue;
        anyChange = true;
        if (p < kMarkerSize) {
            FUZZ_CHECK(kTarget, equalAt(after, 0, "HDMV0300"), "a broken version marker");
            continue;
        }
        if (isCodingRemark(before, after, p)) continue;
        if (p > 0 && isCodingRemark(before, after, p - 1)) continue;
        if (p >= kDynamicRangeAfterType && before[p - kDynamicRangeAfterType] == kSourceHevc &&
            after[p] == dynamicRange) {
            continue;
        }
        fail(kTarget, "byte " + std::to_string(p) + " changed outside every patched field");
    }
    if (found) FUZZ_CHECK(kTarget, equalAt(after, 0, "HDMV0300"), "true without the 0300 marker");
    if (!found) FUZZ_CHECK(kTarget, !anyChange, "the file changed but the result is false");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchPath("00000.clpi");
    writeWhole(path, data, size);
    const ByteString before(data, data + size);
    // Both values of the scan's HDR decision get their share of inputs.
    const bool hdr = (size & 1) != 0;

    // A check says what the run will do, and does nothing itself.
    const Adjustment planned = adjustClipInfo(path, hdr, AdjustMode::Check);
    FUZZ_CHECK(kTarget, readWhole(path) == before, "a check changed the file");

    const bool found = UHD_Adjust_CLPI(path, hdr).accepted;
    const ByteString after = readWhole(path);
    checkChange(before, after, found, hdr);
    FUZZ_CHECK(kTarget, planned.accepted == found, "the check and the run disagree");
    FUZZ_CHECK(kTarget, applyChanges(before, planned.changes, path) == after,
               "the run changed other bytes than the check reported");

    // The adjuster is a function of the file's bytes: when nothing changed, a second run is
    // the first one again.
    if (after == before) return 0;

    const bool foundAgain = UHD_Adjust_CLPI(path, hdr).accepted;
    FUZZ_CHECK(kTarget, readWhole(path) == after, "a second run changed the file");
    FUZZ_CHECK(kTarget, foundAgain == found, "a second run gave another result");
    return 0;
}
