#include "transport/ProgramMapSection.h"

#include <algorithm>
#include <cstring>

#include "fileio/BigEndian.h"

namespace quorvel {

namespace {

std::size_t twelveBits(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(be16FromBytes(bytes)) & kTwelveBitMask;
}

}  // namespace

std::size_t ProgramMapSection::sectionLength() const {
    return twelveBits(m_buffer.data() + kSectionLengthOffset);
}

bool ProgramMapSection::opensSection(const SourcePacket& packet) const {
    if (!packet.startBit() || packet.adaptationControl() != kPayloadOnly) return false;
    if (packet[kPointerFieldOffset] != 0 || packet[kTableIdOffset] != kProgramMapTableId) {
        return false;
    }
    const std::size_t length = twelveBits(packet.bytes() + kSectionLengthOffset);
    return length >= static_cast<std::size_t>(kMinProgramMapSectionLength) &&
           length <= static_cast<std::size_t>(kMaxSectionLength);
}

ProgramMapSection::Step ProgramMapSection::add(const SourcePacket& packet, std::int64_t offset) {
    if (collecting() && packet.startBit()) {
        // A new section begins before the one being collected is whole: that one is broken.
        clear();
    }
    if (!collecting()) {
        if (!opensSection(packet)) return Step::Ignored;
        std::memcpy(m_buffer.data(), packet.bytes(), kSourcePacketSize);
        m_length = kSourcePacketSize;
    } else {
        if (packet.adaptationControl() != kPayloadOnly || m_packets == kMaxPackets) {
            clear();
            return Step::Ignored;
        }
        std::memcpy(m_buffer.data() + m_length, packet.bytes() + kSourcePacketHeaderSize,
                    kContinuationPayloadSize);
        m_length += kContinuationPayloadSize;
    }
    m_offsets[m_packets] = offset;
    m_counters[m_packets] = static_cast<std::uint8_t>(packet.continuityCounter());
    ++m_packets;
    return complete() ? Step::Complete : Step::Collecting;
}

std::uint32_t ProgramMapSection::sectionCrc(const CrcTable& table) const {
    // From the table id through the last byte before the CRC field.
    const std::size_t crcField = sectionLength() + kCrcFieldBase;
    return crc32Mpeg2(table, m_buffer.data() + kTableIdOffset, crcField - kTableIdOffset);
}

bool ProgramMapSection::remarkVideoEntry(const CrcTable& table) {
    if (!collecting() || !complete()) return false;
    std::uint8_t* section = m_buffer.data();
    const std::size_t crcField = sectionLength() + kCrcFieldBase;

    std::size_t e = kFirstEntryOffset + twelveBits(section + kProgramInfoLengthOffset);
    std::size_t found = 0;
    std::size_t infoLength = 0;
    while (e < crcField) {
        if (crcField - e < kEntryHeaderSize) return false;
        infoLength = twelveBits(section + e + kEntryInfoLengthOffset);
        if (crcField - e - kEntryHeaderSize < infoLength) return false;
        // An entry already typed 0x24 is passed over: that is what makes a second run a no-op.
        if (pidAt(section + e + kEntryPidOffset) == kVideoPid && section[e] == kStreamTypeHevc) {
            found = e;
            break;
        }
        e += kEntryHeaderSize + infoLength;
    }
    if (found == 0) return false;

    const std::uint32_t stored = static_cast<std::uint32_t>(be32FromBytes(section + crcField));
    const std::uint32_t asFound = sectionCrc(table);

    section[found] = kStreamTypeHevcUhd;
    std::uint8_t* identifier = section + found + kEntryIdentifierOffset;
    if (infoLength >= kMinInfoLengthForIdentifier &&
        std::equal(kHevcIdentifier.begin(), kHevcIdentifier.end(), identifier)) {
        std::copy(kHdmvIdentifier.begin(), kHdmvIdentifier.end(), identifier);
    }
    const std::uint32_t remarked = sectionCrc(table);
    // Rewriting a section whose CRC holds in neither state would bless corrupt data with a
    // fresh CRC.
    if (stored != asFound && stored != remarked) return false;

    const ByteString crcBytes = be32ToBytes(static_cast<std::int32_t>(remarked));
    std::copy(crcBytes.begin(), crcBytes.end(), section + crcField);
    std::fill(section + crcField + kCrcSize, section + m_length, kStuffingByte);
    m_typeOffset = found;
    return true;
}

std::size_t ProgramMapSection::typePacket() const {
    if (m_typeOffset < kSourcePacketSize) return 0;
    return 1 + (m_typeOffset - kSourcePacketSize) / kContinuationPayloadSize;
}

std::size_t ProgramMapSection::typeOffsetInPacket() const {
    if (m_typeOffset < kSourcePacketSize) return m_typeOffset;
    return kSourcePacketHeaderSize + (m_typeOffset - kSourcePacketSize) % kContinuationPayloadSize;
}

void ProgramMapSection::buildPacket(std::size_t j, std::uint8_t* out) const {
    if (j == 0) {
        std::memcpy(out, m_buffer.data(), kSourcePacketSize);
        return;
    }
    std::memcpy(out, m_buffer.data(), kSourcePacketHeaderSize);
    out[kStartBitOffset] = static_cast<std::uint8_t>(out[kStartBitOffset] & ~kStartBitMask);
    out[kControlOffset] =
        static_cast<std::uint8_t>((out[kControlOffset] & ~kContinuityCounterMask) | m_counters[j]);
    std::memcpy(out + kSourcePacketHeaderSize,
                m_buffer.data() + kSourcePacketSize + (j - 1) * kContinuationPayloadSize,
                kContinuationPayloadSize);
}

}  // namespace quorvel
