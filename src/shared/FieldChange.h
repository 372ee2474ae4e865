#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/ByteString.h"

namespace quorvel {

// One field of a disc file as a job changes it (or, in a check, would change it).
struct FieldChange {
    std::string file;          // full path
    std::string field;         // what the bytes are, e.g. "video stream coding type"
    std::int64_t offset = 0;   // of the field's first byte; for repeated fields, of the first one
    ByteString before;         // empty for appended data
    ByteString after;
    std::int64_t count = 1;    // how many places of the file get this change (stream fields)

    bool operator==(const FieldChange&) const = default;
};

using FieldChanges = std::vector<FieldChange>;

}  // namespace quorvel
