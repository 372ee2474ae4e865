#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fileio/BigEndian.h"
#include "shared/ByteString.h"

// A Blu-ray source packet: a 4-byte TP_extra_header (copy permission and arrival time stamp)
// followed by a 188-byte MPEG-2 transport packet.
namespace quorvel {

inline constexpr std::size_t kSourcePacketSize = 192;
// The TP_extra_header: the packet's own copy permission and arrival time stamp.
inline constexpr std::size_t kExtraHeaderSize = 4;
// Every transport packet opens with this byte, right behind the TP_extra_header.
inline constexpr std::size_t kSyncByteOffset = 4;
inline constexpr std::uint8_t kSyncByte = 0x47;
// TP_extra_header plus the 4-byte transport header.
inline constexpr std::size_t kSourcePacketHeaderSize = 8;
// Section data carried by a packet that continues a section: everything behind the header.
inline constexpr std::size_t kContinuationPayloadSize = kSourcePacketSize - kSourcePacketHeaderSize;

inline constexpr std::size_t kPidOffset = 5;
inline constexpr std::size_t kStartBitOffset = 5;
inline constexpr std::size_t kControlOffset = 7;  // adaptation field control, continuity counter
// The adaptation field length when there is one; in a packet that opens a section, the pointer
// field.
inline constexpr std::size_t kAdaptationLengthOffset = 8;
inline constexpr std::size_t kPointerFieldOffset = 8;
inline constexpr std::size_t kPayloadOnlyStart = 8;
inline constexpr std::size_t kAdaptationFieldStart = 9;

inline constexpr std::uint8_t kStartBitMask = 0x40;  // payload unit start indicator
inline constexpr std::uint16_t kPidMask = 0x1FFF;
inline constexpr std::uint8_t kAdaptationControlMask = 0x30;
inline constexpr int kAdaptationControlShift = 4;
inline constexpr std::uint8_t kContinuityCounterMask = 0x0F;

// Adaptation field control values.
inline constexpr int kPayloadOnly = 1;
inline constexpr int kAdaptationOnly = 2;
inline constexpr int kAdaptationAndPayload = 3;

// The 13-bit PID in the two bytes at `bytes`.
inline std::uint16_t pidAt(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(be16FromBytes(bytes)) & kPidMask);
}

// The 13-bit PID from the two bytes at `offset` of `bytes`; the null PID 0x1FFF, which no step
// acts on, when they lie outside the string.
std::uint16_t pidAt(const ByteString& bytes, std::size_t offset);

// A read-only view of 192 bytes; the caller keeps them alive.
class SourcePacket {
  public:
    explicit SourcePacket(const std::uint8_t* bytes) : m_bytes(bytes) {}

    const std::uint8_t* bytes() const { return m_bytes; }
    std::uint8_t operator[](std::size_t offset) const { return m_bytes[offset]; }

    bool synced() const { return m_bytes[kSyncByteOffset] == kSyncByte; }
    std::uint16_t pid() const { return pidAt(m_bytes + kPidOffset); }
    bool startBit() const { return (m_bytes[kStartBitOffset] & kStartBitMask) != 0; }
    int adaptationControl() const {
        return (m_bytes[kControlOffset] & kAdaptationControlMask) >> kAdaptationControlShift;
    }
    int continuityCounter() const { return m_bytes[kControlOffset] & kContinuityCounterMask; }

    // Offset of the payload's first byte. A packet without payload, or whose adaptation field
    // length reaches past its end, gives 192: an empty payload.
    std::size_t payloadOffset() const {
        switch (adaptationControl()) {
            case kPayloadOnly:
                return kPayloadOnlyStart;
            case kAdaptationAndPayload:
                return std::min<std::size_t>(
                    kAdaptationFieldStart + m_bytes[kAdaptationLengthOffset], kSourcePacketSize);
            default:
                return kSourcePacketSize;
        }
    }

  private:
    const std::uint8_t* m_bytes;
};

}  // namespace quorvel
