#include "transport/ProgramMapSection.h"

#include <algorithm>
#include <cstring>

#include "fileio/BigEndian.h"
#include "shared/HexText.h"

namespace quorvel {

namespace {

std::size_t twelveBits(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(be16FromBytes(bytes)) & kTwelveBitMask;
}

}  // namespace

std::string describeSectionProblem(const SectionProblem& problem) {
    switch (problem.fault) {
        case SectionFault::None:
            return "it is well formed";
        case SectionFault::FirstWithoutPayload:
            return "its first packet carries no payload";
        case SectionFault::FirstWithAdaptation:
            return "its first packet carries an adaptation field";
        case SectionFault::PointerField:
            return "its pointer field is not 0";
        case SectionFault::TableId:
            return "its table id is " + hexNumber(problem.detail & 0xFFu, 2) + ", not 0x02";
        case SectionFault::SectionLength:
            return "its section length " + std::to_string(problem.detail) + " lies outside " +
                   std::to_string(kMinProgramMapSectionLength) + ".." +
                   std::to_string(kMaxSectionLength);
        case SectionFault::ContinuationNotPlain:
            return "a continuation packet carries an adaptation field or no payload";
        case SectionFault::Interrupted:
            return "a new section begins before it is complete";
        case SectionFault::EndOfFile:
            return "the file ends before it is complete";
        case SectionFault::Orphan:
            return "it is a continuation packet without a section to continue";
        case SectionFault::CrcFails:
            return "its CRC-32 does not hold";
        case SectionFault::EntriesOverrun:
            return "its entries run past its CRC-32";
        case SectionFault::NoVideoEntry:
            return "it has no entry for the video stream (PID 0x1011)";
        case SectionFault::VideoStreamType:
            return "its video entry has stream type " + hexNumber(problem.detail & 0xFFu, 2) +
                   ", not 0x06 or 0x24";
    }
    return "it cannot be read";
}

std::size_t ProgramMapSection::sectionLength() const {
    return twelveBits(m_buffer.data() + kSectionLengthOffset);
}

void ProgramMapSection::remember(const SourcePacket& packet, std::int64_t offset) {
    m_offsets[m_packets] = offset;
    m_counters[m_packets] = static_cast<std::uint8_t>(packet.continuityCounter());
    std::memcpy(m_extraHeaders[m_packets].data(), packet.bytes(), kExtraHeaderSize);
    std::memcpy(m_collected[m_packets].data(), packet.bytes(), kSourcePacketSize);
    ++m_packets;
}

SectionProblem ProgramMapSection::open(const SourcePacket& packet, std::int64_t offset) {
    clear();
    switch (packet.adaptationControl()) {
        case kPayloadOnly:
            break;
        case kAdaptationAndPayload:
            return {SectionFault::FirstWithAdaptation};
        default:
            return {SectionFault::FirstWithoutPayload};
    }
    if (packet[kPointerFieldOffset] != 0) return {SectionFault::PointerField};
    if (packet[kTableIdOffset] != kProgramMapTableId) {
        return {SectionFault::TableId, packet[kTableIdOffset]};
    }
    const std::size_t length = twelveBits(packet.bytes() + kSectionLengthOffset);
    if (length < static_cast<std::size_t>(kMinProgramMapSectionLength) ||
        length > static_cast<std::size_t>(kMaxSectionLength)) {
        return {SectionFault::SectionLength, static_cast<unsigned>(length)};
    }
    std::memcpy(m_buffer.data(), packet.bytes(), kSourcePacketSize);
    m_length = kSourcePacketSize;
    remember(packet, offset);
    return {};
}

SectionProblem ProgramMapSection::append(const SourcePacket& packet, std::int64_t offset) {
    // A section of at most 1021 bytes is whole within kMaxPackets, and a whole section is never
    // offered more; the count is checked all the same, as it guards the buffer.
    if (!collecting() || m_packets == kMaxPackets) return {SectionFault::Orphan};
    if (packet.adaptationControl() != kPayloadOnly) return {SectionFault::ContinuationNotPlain};
    std::memcpy(m_buffer.data() + m_length, packet.bytes() + kSourcePacketHeaderSize,
                kContinuationPayloadSize);
    m_length += kContinuationPayloadSize;
    remember(packet, offset);
    return {};
}

std::uint32_t ProgramMapSection::sectionCrc() const {
    // From the table id through the last byte before the CRC field.
    const std::size_t crcField = sectionLength() + kCrcFieldBase;
    return crc32Mpeg2(m_buffer.data() + kTableIdOffset, crcField - kTableIdOffset);
}

ProgramMapSection::EntryWalk ProgramMapSection::walkEntries() const {
    const std::uint8_t* section = m_buffer.data();
    const std::size_t crcField = sectionLength() + kCrcFieldBase;
    EntryWalk walk;
    std::size_t e = kFirstEntryOffset + twelveBits(section + kProgramInfoLengthOffset);
    if (e > crcField) walk.fits = false;
    while (walk.fits && e < crcField) {
        if (crcField - e < kEntryHeaderSize) {
            walk.fits = false;
            break;
        }
        const std::size_t infoLength = twelveBits(section + e + kEntryInfoLengthOffset);
        if (crcField - e - kEntryHeaderSize < infoLength) {
            walk.fits = false;
            break;
        }
        if (walk.entry == 0 && pidAt(section + e + kEntryPidOffset) == kVideoPid) {
            walk.entry = e;
            walk.infoLength = infoLength;
        }
        e += kEntryHeaderSize + infoLength;
    }
    return walk;
}

// A rebuilt section reaches the disk piece by piece (its packets, and each packet split where
// it crosses a page), and a power cut may keep any of the pieces and lose the others. So each
// byte of the video entry's stream type, of its identifier and of the stored CRC may read as
// before the rebuild or as after it. The section is ours when the stored CRC, byte by byte, is
// that of the section before or after; before, the entry read 0x06 and its identifier either
// "HEVC" (which becomes "HDMV") or what it reads now (left as it is).
ProgramMapSection::Rebuild ProgramMapSection::judgeRebuild(const EntryWalk& walk,
                                                           std::uint32_t stored) {
    std::uint8_t* section = m_buffer.data();
    const std::uint8_t foundType = section[walk.entry];
    if (foundType != kStreamTypeHevc && foundType != kStreamTypeHevcUhd) return Rebuild::NotOurs;
    std::uint8_t* identifier = section + walk.entry + kEntryIdentifierOffset;
    const bool hasIdentifier = walk.infoLength >= kMinInfoLengthForIdentifier;
    std::array<std::uint8_t, kIdentifierSize> found{};
    if (hasIdentifier) std::copy_n(identifier, kIdentifierSize, found.begin());
    bool fromHevc = hasIdentifier;
    for (std::size_t k = 0; k < kIdentifierSize && fromHevc; ++k) {
        fromHevc = found[k] == kHevcIdentifier[k] || found[k] == kHdmvIdentifier[k];
    }

    const auto crcWith = [&](std::uint8_t type, const std::array<std::uint8_t, 4>& id) {
        section[walk.entry] = type;
        if (hasIdentifier) std::copy(id.begin(), id.end(), identifier);
        return sectionCrc();
    };
    const auto storedIsMixOf = [stored](std::uint32_t before, std::uint32_t after) {
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint32_t byte = (stored >> shift) & 0xFFu;
            if (byte != ((before >> shift) & 0xFFu) && byte != ((after >> shift) & 0xFFu)) {
                return false;
            }
        }
        return true;
    };

    Rebuild verdict = Rebuild::NotOurs;
    if (fromHevc && storedIsMixOf(crcWith(kStreamTypeHevc, kHevcIdentifier),
                                  crcWith(kStreamTypeHevcUhd, kHdmvIdentifier))) {
        verdict = Rebuild::ToHdmv;
    } else if (found != kHevcIdentifier &&
               storedIsMixOf(crcWith(kStreamTypeHevc, found), crcWith(kStreamTypeHevcUhd, found))) {
        verdict = Rebuild::KeepIdentifier;
    }
    section[walk.entry] = foundType;
    if (hasIdentifier) std::copy(found.begin(), found.end(), identifier);
    return verdict;
}

ProgramMapSection::Assessment ProgramMapSection::remarkVideoEntry() {
    if (!complete()) {
        Assessment result;
        result.problem = {SectionFault::EndOfFile};
        return result;
    }
    // The judgement reads the bytes from the table id through the CRC field and nothing else
    // (the packet headers in front, and the stuffing behind that the re-mark overwrites, do not
    // count).
    const std::size_t end = sectionLength() + kSectionTail;
    const std::uint8_t* section = m_buffer.data();
    if (m_judged.end == end && m_judged.length == m_length &&
        std::equal(section + kTableIdOffset, section + end,
                   m_judged.collected.data() + kTableIdOffset)) {
        if (m_judged.assessment.verdict == Verdict::Remark) {
            std::copy(m_judged.remarked.data() + kTableIdOffset, m_judged.remarked.data() + m_length,
                      m_buffer.data() + kTableIdOffset);
            m_typeOffset = m_judged.typeOffset;
        }
        return m_judged.assessment;
    }
    m_judged.end = 0;
    std::copy(section + kTableIdOffset, section + end, m_judged.collected.data() + kTableIdOffset);
    const Assessment result = judge();
    m_judged.assessment = result;
    if (result.verdict == Verdict::Remark) {
        std::copy(section + kTableIdOffset, section + m_length,
                  m_judged.remarked.data() + kTableIdOffset);
        m_judged.typeOffset = m_typeOffset;
    }
    m_judged.end = end;
    m_judged.length = m_length;
    return result;
}

ProgramMapSection::Assessment ProgramMapSection::judge() {
    Assessment result;
    std::uint8_t* section = m_buffer.data();
    const std::size_t crcField = sectionLength() + kCrcFieldBase;
    const auto stored = static_cast<std::uint32_t>(be32FromBytes(section + crcField));
    const bool crcHolds = stored == sectionCrc();
    const EntryWalk walk = walkEntries();
    const bool located = walk.fits && walk.entry != 0;
    const bool marked = located && crcHolds && section[walk.entry] == kStreamTypeHevcUhd;
    const Rebuild rebuild =
        located && !marked ? judgeRebuild(walk, stored) : Rebuild::NotOurs;

    // Rewriting a section whose CRC does not hold would bless corrupt data with a fresh CRC.
    if (!crcHolds && rebuild == Rebuild::NotOurs) {
        result.problem = {SectionFault::CrcFails};
        return result;
    }
    if (!walk.fits) {
        result.problem = {SectionFault::EntriesOverrun};
        return result;
    }
    if (walk.entry == 0) {
        result.problem = {SectionFault::NoVideoEntry};
        return result;
    }
    if (marked) {
        result.verdict = Verdict::Marked;
        return result;
    }
    if (rebuild == Rebuild::NotOurs) {
        result.problem = {SectionFault::VideoStreamType, section[walk.entry]};
        return result;
    }

    section[walk.entry] = kStreamTypeHevcUhd;
    std::uint8_t* identifier = section + walk.entry + kEntryIdentifierOffset;
    if (rebuild == Rebuild::ToHdmv &&
        !std::equal(kHdmvIdentifier.begin(), kHdmvIdentifier.end(), identifier)) {
        std::copy(kHdmvIdentifier.begin(), kHdmvIdentifier.end(), identifier);
        result.identifierChanges = true;
    }
    const ByteString crcBytes = be32ToBytes(static_cast<std::int32_t>(sectionCrc()));
    std::copy(crcBytes.begin(), crcBytes.end(), section + crcField);
    std::fill(section + crcField + kCrcSize, section + m_length, kStuffingByte);
    m_typeOffset = walk.entry;
    result.verdict = Verdict::Remark;
    return result;
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
    std::memcpy(out, m_extraHeaders[j].data(), kExtraHeaderSize);
    std::memcpy(out + kExtraHeaderSize, m_buffer.data() + kExtraHeaderSize,
                kSourcePacketHeaderSize - kExtraHeaderSize);
    out[kStartBitOffset] = static_cast<std::uint8_t>(out[kStartBitOffset] & ~kStartBitMask);
    out[kControlOffset] =
        static_cast<std::uint8_t>((out[kControlOffset] & ~kContinuityCounterMask) | m_counters[j]);
    std::memcpy(out + kSourcePacketHeaderSize,
                m_buffer.data() + kSourcePacketSize + (j - 1) * kContinuationPayloadSize,
                kContinuationPayloadSize);
}

}  // namespace quorvel
