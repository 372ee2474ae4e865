// Index and MovieObject adjuster fed arbitrary file bytes. The first two input bytes choose how
// many of the rest form the index; the remainder is the MovieObject.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "NavigationChecks.h"
#include "navigation/IndexAdjuster.h"

using namespace quorvel;
using namespace quorvel::fuzz;

namespace {

constexpr const char* kTarget = "fuzz_index";
constexpr std::size_t kMarkerSize = 8;
constexpr std::size_t kExtensionAddress = 12;
constexpr std::size_t kSplitFieldSize = 2;

void checkIndex(const ByteString& before, const ByteString& after) {
    FUZZ_CHECK(kTarget,
               extensionChangeIsSound(before, after, kExtensionAddress, indexExtensionBlock()),
               "the index size or extension address changed in a way no run makes");
    for (std::size_t p = 0; p < before.size(); ++p) {
        if (before[p] == after[p]) continue;
        if (p < kMarkerSize) {
            FUZZ_CHECK(kTarget, equalAt(after, 0, "INDX0300"), "a broken index marker");
            continue;
        }
        if (p >= kExtensionAddress && p < kExtensionAddress + 4) continue;
        fail(kTarget, "index byte " + std::to_string(p) + " changed");
    }
}

void checkMovieObject(const ByteString& before, const ByteString& after) {
    FUZZ_CHECK(kTarget, after.size() == before.size(), "the MovieObject size changed");
    for (std::size_t p = 0; p < before.size(); ++p) {
        if (before[p] == after[p]) continue;
        FUZZ_CHECK(kTarget, p < kMarkerSize && equalAt(after, 0, "MOBJ0300"),
                   "MovieObject byte " + std::to_string(p) + " changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t indexSize = 0;
    if (size >= kSplitFieldSize) {
        const std::size_t wanted = static_cast<std::size_t>(data[0]) << 8 | data[1];
        indexSize = wanted % (size - kSplitFieldSize + 1);
        data += kSplitFieldSize;
        size -= kSplitFieldSize;
    }
    const ByteString indexBefore(data, data + indexSize);
    const ByteString movieObjectBefore(data + indexSize, data + size);
    const std::string index = scratchPath("index.bdmv");
    const std::string movieObject = scratchPath("MovieObject.bdmv");
    writeWhole(index, indexBefore.data(), indexBefore.size());
    writeWhole(movieObject, movieObjectBefore.data(), movieObjectBefore.size());

    // A check says what the run will do, and does nothing itself.
    const Adjustment planned = adjustIndexAndMovieObject(index, movieObject, AdjustMode::Check);
    FUZZ_CHECK(kTarget, readWhole(index) == indexBefore && readWhole(movieObject) == movieObjectBefore,
               "a check changed a file");

    const bool done = UHD_Adjust_BDMV(index, movieObject).accepted;
    const ByteString indexAfter = readWhole(index);
    const ByteString movieObjectAfter = readWhole(movieObject);
    FUZZ_CHECK(kTarget, planned.accepted == done, "the check and the run disagree");
    FUZZ_CHECK(kTarget,
               applyChanges(indexBefore, planned.changes, index) == indexAfter &&
                   applyChanges(movieObjectBefore, planned.changes, movieObject) == movieObjectAfter,
               "the run changed other bytes than the check reported");
    if (!done) {
        FUZZ_CHECK(kTarget, indexAfter == indexBefore, "refused, yet the index changed");
        FUZZ_CHECK(kTarget, movieObjectAfter == movieObjectBefore,
                   "refused, yet the MovieObject changed");
    } else {
        checkIndex(indexBefore, indexAfter);
        checkMovieObject(movieObjectBefore, movieObjectAfter);
        FUZZ_CHECK(kTarget, equalAt(indexAfter, 0, "INDX0300"), "true without the index marker");
        FUZZ_CHECK(kTarget, equalAt(movieObjectAfter, 0, "MOBJ0300"),
                   "true without the MovieObject marker");
    }

    if (indexAfter == indexBefore && movieObjectAfter == movieObjectBefore) return 0;

    const bool doneAgain = UHD_Adjust_BDMV(index, movieObject).accepted;
    FUZZ_CHECK(kTarget, readWhole(index) == indexAfter, "a second run changed the index");
    FUZZ_CHECK(kTarget, readWhole(movieObject) == movieObjectAfter,
               "a second run changed the MovieObject");
    FUZZ_CHECK(kTarget, doneAgain == done, "a second run gave another result");
    return 0;
}
