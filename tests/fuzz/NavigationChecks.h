#pragma once

// The ways a well-formed run may change a navigation file, as checks on the bytes before and
// after. Anything else a run changes is a broken property.

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "shared/FieldChange.h"

namespace quorvel::fuzz {

// The stream coding re-mark: coding type 0x06 at `p` became 0x24, and the format byte behind it
// went from code 6 (1080p) to code 8 (2160p) with its frame-rate code kept.
inline bool isCodingRemark(const ByteString& before, const ByteString& after, std::size_t p) {
    constexpr std::uint8_t kSourceHevc = 0x06;
    constexpr std::uint8_t kUhdHevc = 0x24;
    constexpr std::uint8_t kFormatMask = 0xF0;
    constexpr std::uint8_t kFormat1080p = 0x60;
    constexpr std::uint8_t kFormat2160p = 0x80;
    if (p + 1 >= before.size()) return false;
    return before[p] == kSourceHevc && after[p] == kUhdHevc &&
           (before[p + 1] & kFormatMask) == kFormat1080p &&
           after[p + 1] == ((before[p + 1] & 0x0F) | kFormat2160p);
}

// The extension step of the index (block of 36 bytes, address at 12) or the playlist (60 bytes,
// address at 16). Either nothing happened; or the address was 0, the block was appended at the
// old end and its address stored; or the address was 0, the file already ended with the block
// (a cut run left it there) and its address was stored. Returns false when the change is none
// of these.
inline bool extensionChangeIsSound(const ByteString& before, const ByteString& after,
                                   std::size_t addressOffset, const ByteString& block) {
    const std::uint32_t oldAddress = be32At(before, addressOffset);
    const std::uint32_t newAddress = be32At(after, addressOffset);
    if (after.size() == before.size() + block.size()) {
        return oldAddress == 0 && newAddress == before.size() &&
               ByteString(after.end() - static_cast<std::ptrdiff_t>(block.size()), after.end()) ==
                   block;
    }
    if (after.size() != before.size()) return false;
    if (newAddress == oldAddress) return true;
    return oldAddress == 0 && before.size() >= block.size() &&
           newAddress == before.size() - block.size() &&
           ByteString(before.end() - static_cast<std::ptrdiff_t>(block.size()), before.end()) ==
               block;
}

// The bytes a run must leave in `file` when a check of the same bytes reported `changes`: every
// change applied to the bytes before, appended data at the end.
inline ByteString applyChanges(const ByteString& before, const FieldChanges& changes,
                               const std::string& file) {
    ByteString after = before;
    for (const FieldChange& change : changes) {
        if (change.file != file) continue;
        const auto offset = static_cast<std::size_t>(change.offset);
        if (change.before.empty()) {
            if (offset != after.size()) fail("check", "appended data not at the end");
            after.insert(after.end(), change.after.begin(), change.after.end());
            continue;
        }
        if (offset + change.after.size() > after.size() ||
            !std::equal(change.before.begin(), change.before.end(), after.begin() + offset)) {
            fail("check", "a change's old bytes are not the file's");
        }
        std::copy(change.after.begin(), change.after.end(), after.begin() + offset);
    }
    return after;
}

}  // namespace quorvel::fuzz
