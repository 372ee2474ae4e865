#include "transport/SourcePacket.h"

namespace quorvel {

std::uint16_t pidAt(const ByteString& bytes, std::size_t offset) {
    if (offset >= bytes.size() || bytes.size() - offset < 2) return kPidMask;
    return pidAt(bytes.data() + offset);
}

}  // namespace quorvel
