#include "navigation/StructureCheck.h"

#include <cstdio>
#include <limits>

namespace quorvel::navigation {

void requireInside(std::int64_t offset, std::int64_t size, std::int64_t begin, std::int64_t end,
                   const std::string& what) {
    if (offset < begin || size < 0 || offset > end || size > end - offset) {
        throw AdjustRefused(what);
    }
}

std::string hexAddress(std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

void requireHeader(const NavigationFile& file, std::int64_t headerSize) {
    const std::int64_t length = file.length();
    if (length < headerSize) {
        throw AdjustRefused("the file is " + std::to_string(length) +
                            " bytes long, shorter than its " + std::to_string(headerSize) +
                            "-byte header");
    }
}

void requireAddressable(std::int64_t fileLength, std::int64_t blockSize) {
    if (fileLength > std::numeric_limits<std::int32_t>::max() - blockSize) {
        throw AdjustRefused("the file is too large (" + std::to_string(fileLength) +
                            " bytes) for a 32-bit extension address");
    }
}

bool endsWithBlock(const NavigationFile& file, const ByteString& block,
                   std::int64_t earliestStart) {
    const auto size = static_cast<std::int64_t>(block.size());
    const std::int64_t start = file.length() - size;
    if (size == 0 || start < earliestStart || start < 0) return false;
    return file.getBytes(start, size) == block;
}

std::string refusalLine(const std::string& kind, const std::string& path,
                        const std::string& reason) {
    return " - Cannot adjust " + kind + " " + path + ": " + reason + ".";
}

void refuse(JobContext& ctx, Adjustment& result, const std::string& kind, const std::string& path,
            const std::string& reason) {
    result.accepted = false;
    result.kind = kind;
    result.refusedFile = path;
    result.reason = reason;
    ctx.log.Status(refusalLine(kind, path, reason));
}

void complete(JobContext& ctx, Adjustment& result, const std::string& kind, NavigationFile& file) {
    file.flush();
    result.accepted = true;
    collectChanges(ctx, result, kind, file);
}

void collectChanges(JobContext& ctx, Adjustment& result, const std::string& kind,
                    const NavigationFile& file) {
    const std::vector<NavigationFile::Change> changes = file.changes();
    if (file.mode() == NavigationFile::Mode::Check && !changes.empty()) {
        // The real run opens the file for writing: a file that cannot be would stop the job
        // half-way, after the files before it were changed.
        const std::string problem = file.writeProblem();
        if (!problem.empty()) {
            refuse(ctx, result, kind, file.path(), problem);
            return;
        }
    }
    for (const NavigationFile::Change& change : changes) {
        result.changes.push_back(
            {file.path(), change.field, change.offset, change.before, change.after});
    }
}

}  // namespace quorvel::navigation
