#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "fileio/NavigationFile.h"
#include "navigation/Adjustment.h"
#include "shared/ByteString.h"

// Helpers shared by the navigation adjusters. Each adjuster first walks the structure it is
// about to patch and proves that every field it will read or write lies inside the file (and
// inside the enclosing structure), and that the file is one it converts; only then does it
// write. A walk that finds a field out of place throws AdjustRefused, the adjuster reports one
// line and the file stays as it was.
namespace quorvel::navigation {

// Why an adjuster refuses to touch a file. The text completes "Cannot adjust <file>: ".
class AdjustRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws AdjustRefused(what) unless the `size` bytes at `offset` lie inside [begin, end).
void requireInside(std::int64_t offset, std::int64_t size, std::int64_t begin, std::int64_t end,
                   const std::string& what);

// A 32-bit address read from a header, as the unsigned offset it denotes.
inline std::int64_t addressValue(std::int32_t stored) {
    return static_cast<std::int64_t>(static_cast<std::uint32_t>(stored));
}

// Refuses a file shorter than the header fields an adjuster reads.
void requireHeader(const NavigationFile& file, std::int64_t headerSize);

// Every navigation file opens with a 40-byte header: a 4-letter type code, a 4-digit version,
// then the start addresses of its blocks. Each block is a 4-byte length field and that many
// bytes.
constexpr std::int64_t kNavigationHeaderSize = 40;

// Refuses a file whose type code is not `typeCode` ("MPLS") or whose version is neither "0200"
// nor "0300": such a file is not one this conversion is for. The file holds 8 bytes or more.
void requireTypeAndVersion(const NavigationFile& file, const char* typeCode);

// Refuses unless the block `name` at `start` lies behind the header and whole inside the file.
void requireBlock(const NavigationFile& file, const std::string& name, std::int64_t start);

// The block whose start address the header holds at `addressOffset`, checked as requireBlock
// does. An optional block (extension data) is absent when its address is 0; the result is then
// 0, else the block's start.
std::int64_t requireAddressedBlock(const NavigationFile& file, const std::string& name,
                                   std::int64_t addressOffset, bool optional = false);

// Extension data are recognised as the UHD block when their directory holds an entry with the
// given ID1 and ID2 whose data lie inside the extension data block. Anything else (another kind
// of extension, an empty or damaged directory) is refused: the file would be marked UHD without
// the block a player looks for, and the block cannot be added while the address is taken.
// `start` is the start of an extension data block that requireBlock accepted.
void requireUhdExtension(const NavigationFile& file, std::int64_t start, std::uint16_t id1,
                         std::uint16_t id2);

// Text from a file as the log shows it: printable ASCII as it is, anything else as \xHH.
std::string printableText(const ByteString& bytes);

// Where an extension block appended to `file` goes. A file that already ends with `block`,
// starting no earlier than `earliestStart`, adopts it: a process cut between appending the block
// and storing its address leaves exactly that, the block at the end and the header address still
// 0, and the rerun must not append a second copy. Otherwise the block goes at the end, which is
// refused when a 32-bit signed file address (where extension data are stored) could not point
// at it.
struct AppendedBlock {
    std::int64_t address = 0;
    bool alreadyThere = false;
};
AppendedBlock placeAppendedBlock(const NavigationFile& file, const ByteString& block,
                                 std::int64_t earliestStart);

// Runs `run`, an adjuster's walk and writes; returns why it refused the file (an AdjustRefused's
// text or a FileError's reason), or nothing when it ran through.
std::optional<std::string> refusalOf(const std::function<void()>& run);

// The one detail line an adjuster logs when it refuses a file: what, which file and why.
std::string refusalLine(const std::string& kind, const std::string& path,
                        const std::string& reason);

// Records a refusal in `result`, its line the last of the run's lines.
void refuse(Adjustment& result, const std::string& kind, const std::string& path,
            const std::string& reason);

// The end of a run that wrote everything it planned: the file is flushed, the run accepted and
// its changes filed (see collectChanges).
void complete(Adjustment& result, const std::string& kind, NavigationFile& file);

// Files the run's changes of `file` into `result`. A check also makes sure that a file it would
// change can be opened for writing at all, and refuses it when not.
void collectChanges(Adjustment& result, const std::string& kind, const NavigationFile& file);

}  // namespace quorvel::navigation
