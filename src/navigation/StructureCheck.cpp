#include "navigation/StructureCheck.h"

#include <cstdio>
#include <iterator>
#include <limits>

#include "fileio/BigEndian.h"
#include "navigation/StreamCoding.h"
#include "shared/HexText.h"

namespace quorvel::navigation {

void requireInside(std::int64_t offset, std::int64_t size, std::int64_t begin, std::int64_t end,
                   const std::string& what) {
    if (offset < begin || size < 0 || offset > end || size > end - offset) {
        throw AdjustRefused(what);
    }
}

void requireHeader(const NavigationFile& file, std::int64_t headerSize) {
    const std::int64_t length = file.length();
    if (length < headerSize) {
        throw AdjustRefused("the file is " + std::to_string(length) +
                            " bytes long, shorter than its " + std::to_string(headerSize) +
                            "-byte header");
    }
}

namespace {

constexpr std::int64_t kVersionOffset = 4;
constexpr std::int64_t kTypeCodeSize = 4;
constexpr std::int64_t kVersionSize = 4;
constexpr const char* kVersions[] = {"0200", "0300"};

constexpr std::int64_t kBlockLengthFieldSize = 4;

// Extension data, from the block's start X: length (4), start of the data area (4), 3 reserved
// bytes, the number of entries (1), then the entries. Each entry is ID1 (2), ID2 (2), the start
// of its data counted from X (4) and their length (4).
constexpr std::int64_t kEntryCountOffset = 11;
constexpr std::int64_t kFirstEntryOffset = 12;
constexpr std::int64_t kEntrySize = 12;
constexpr std::int64_t kEntryId2Offset = 2;
constexpr std::int64_t kEntryDataStartOffset = 4;
constexpr std::int64_t kEntryDataLengthOffset = 8;

}  // namespace

void requireTypeAndVersion(const NavigationFile& file, const char* typeCode) {
    const ByteString type = file.getBytes(0, kTypeCodeSize);
    if (type != asciiBytes(typeCode)) {
        throw AdjustRefused("its type code is \"" + printableText(type) + "\", not \"" +
                            typeCode + "\"");
    }
    const ByteString version = file.getBytes(kVersionOffset, kVersionSize);
    for (const char* accepted : kVersions) {
        if (version == asciiBytes(accepted)) return;
    }
    throw AdjustRefused("its version is \"" + printableText(version) + "\", not " + kVersions[0] +
                        " or " + kVersions[1]);
}

void requireBlock(const NavigationFile& file, const std::string& name, std::int64_t start) {
    const std::int64_t length = file.length();
    if (start < kNavigationHeaderSize) {
        throw AdjustRefused("the " + name + " address " + hexNumber(start, 8) + " points into the " +
                            std::to_string(kNavigationHeaderSize) + "-byte header");
    }
    const std::string fileSize = " runs past the end of the file (" + std::to_string(length) +
                                 " bytes)";
    if (start > length - kBlockLengthFieldSize) {
        throw AdjustRefused("the " + name + " block at offset " + std::to_string(start) + fileSize);
    }
    const std::int64_t size = kBlockLengthFieldSize + addressValue(file.getBE32(start));
    if (size > length - start) {
        throw AdjustRefused("the " + name + " block (" + std::to_string(size) + " bytes at offset " +
                            std::to_string(start) + ")" + fileSize);
    }
}

std::int64_t requireAddressedBlock(const NavigationFile& file, const std::string& name,
                                   std::int64_t addressOffset, bool optional) {
    const std::int64_t start = addressValue(file.getBE32(addressOffset));
    if (optional && start == 0) return 0;
    requireBlock(file, name, start);
    return start;
}

void requireUhdExtension(const NavigationFile& file, std::int64_t start, std::uint16_t id1,
                         std::uint16_t id2) {
    const std::int64_t end =
        start + kBlockLengthFieldSize + addressValue(file.getBE32(start));
    const std::int64_t entries = start + kFirstEntryOffset;
    if (entries <= end) {
        const std::uint8_t count = file.getByte(start + kEntryCountOffset);
        for (std::int64_t entry = entries;
             entry < entries + count * kEntrySize && entry + kEntrySize <= end;
             entry += kEntrySize) {
            if (file.getU16(entry) != id1 || file.getU16(entry + kEntryId2Offset) != id2) continue;
            const std::int64_t data =
                start + addressValue(file.getBE32(entry + kEntryDataStartOffset));
            const std::int64_t dataLength =
                addressValue(file.getBE32(entry + kEntryDataLengthOffset));
            if (data >= entries && dataLength > 0 && dataLength <= end - data) return;
        }
    }
    throw AdjustRefused("it carries extension data (at offset " + std::to_string(start) +
                        ") without the UHD entry (ID1 " + std::to_string(id1) + ", ID2 " +
                        std::to_string(id2) + "), and marking it UHD without that entry would be "
                        "wrong");
}

std::string printableText(const ByteString& bytes) {
    std::string text;
    for (const std::uint8_t c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            text += "\\x" + hexNumber(c, 2).substr(2);
        }
    }
    return text;
}

AppendedBlock placeAppendedBlock(const NavigationFile& file, const ByteString& block,
                                 std::int64_t earliestStart) {
    const std::int64_t fileLength = file.length();
    const auto size = static_cast<std::int64_t>(block.size());
    const std::int64_t start = fileLength - size;
    if (size > 0 && start >= earliestStart && start >= 0 && file.getBytes(start, size) == block) {
        return {start, true};
    }
    if (fileLength > std::numeric_limits<std::int32_t>::max() - size) {
        throw AdjustRefused("the file is too large (" + std::to_string(fileLength) +
                            " bytes) for a 32-bit extension address");
    }
    return {fileLength, false};
}

std::optional<std::string> refusalOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const AdjustRefused& refused) {
        return refused.what();
    } catch (const FileError& error) {
        return error.reason();
    }
    return std::nullopt;
}

std::string refusalLine(const std::string& kind, const std::string& path,
                        const std::string& reason) {
    return " - Cannot adjust " + kind + " " + path + ": " + reason + ".";
}

void refuse(Adjustment& result, const std::string& kind, const std::string& path,
            const std::string& reason) {
    result.accepted = false;
    result.kind = kind;
    result.refusedFile = path;
    result.reason = reason;
    result.lines.push_back({refusalLine(kind, path, reason)});
}

void complete(Adjustment& result, const std::string& kind, NavigationFile& file) {
    file.flush();
    result.accepted = true;
    collectChanges(result, kind, file);
}

void collectChanges(Adjustment& result, const std::string& kind, const NavigationFile& file) {
    FieldChanges changes = file.changes();
    if (file.mode() == NavigationFile::Mode::Check && !changes.empty()) {
        // The real run opens the file for writing: a file that cannot be would stop the job
        // half-way, after the files before it were changed.
        const std::string problem = file.writeProblem();
        if (!problem.empty()) {
            refuse(result, kind, file.path(), problem);
            return;
        }
    }
    result.changes.insert(result.changes.end(), std::make_move_iterator(changes.begin()),
                          std::make_move_iterator(changes.end()));
}

}  // namespace quorvel::navigation
