#include "transport/StreamRules.h"

#include <cstring>
#include <utility>

#include "fileio/BigEndian.h"

namespace quorvel {

namespace {

constexpr std::uint8_t kPatTableId = 0x00;
// Program association section, in packet offsets: section length at 10-11, the 4-byte program
// entries (program number, then PID) from 17 up to the CRC at section length + 8.
constexpr std::size_t kPatFirstEntry = 17;
constexpr std::size_t kPatEntrySize = 4;
constexpr std::size_t kPatEntryPidOffset = 2;

// A write that stays inside one page is never cut short by a kill.
constexpr std::int64_t kPageSize = 4096;

}  // namespace

void StreamRules::passOverZeros(std::int64_t offset, std::int64_t packets) {
    if (packets <= 0) return;
    if (m_tally.packetsWithoutSync == 0) m_tally.firstPacketWithoutSync = offset;
    m_tally.packetsWithoutSync += packets;
}

void StreamRules::finish() {
    if (m_section.collecting()) unusable(m_section.packetOffset(0), {SectionFault::EndOfFile});
    m_section.clear();
}

void StreamRules::programAssociation(const SourcePacket& packet) {
    // Only a section that opens in this packet, without adaptation field, is read; anything
    // else would be read as program entries that are not there.
    if (!packet.startBit() || packet.adaptationControl() != kPayloadOnly ||
        packet[kPointerFieldOffset] != 0 || packet[kTableIdOffset] != kPatTableId) {
        return;
    }
    const std::size_t sectionLength =
        static_cast<std::uint16_t>(be16FromBytes(packet.bytes() + kSectionLengthOffset)) &
        kTwelveBitMask;
    const std::size_t crcField = sectionLength + kCrcFieldBase;
    for (std::size_t e = kPatFirstEntry;
         e + kPatEntrySize <= crcField && e + kPatEntrySize <= kSourcePacketSize;
         e += kPatEntrySize) {
        // Program number 0 names the network information PID, not a program map.
        if (be16FromBytes(packet.bytes() + e) != 0) {
            m_programMapPid = pidAt(packet.bytes() + e + kPatEntryPidOffset);
            return;
        }
    }
}

// Every packet on the program map PID belongs to a section that is either re-marked, found
// marked, or counted (once) as one that cannot be re-marked.
bool StreamRules::programMap(const SourcePacket& packet, std::int64_t offset) {
    if (packet.startBit()) {
        if (m_section.collecting()) {
            unusable(m_section.packetOffset(0), {SectionFault::Interrupted});
        }
        const SectionProblem problem = m_section.open(packet, offset);
        m_discarding = problem.fault != SectionFault::None;
        if (m_discarding) {
            unusable(offset, problem);
            return true;
        }
    } else if (m_section.collecting()) {
        const SectionProblem problem = m_section.append(packet, offset);
        if (problem.fault != SectionFault::None) {
            unusable(m_section.packetOffset(0), problem);
            m_section.clear();
            m_discarding = true;
            return true;
        }
    } else {
        if (!m_discarding) unusable(offset, {SectionFault::Orphan});
        m_discarding = true;
        return true;
    }
    return !m_section.complete() || settleSection();
}

bool StreamRules::settleSection() {
    const ProgramMapSection::Assessment assessment = m_section.remarkVideoEntry();
    const std::int64_t at = m_section.packetOffset(0);
    bool written = true;
    switch (assessment.verdict) {
        case ProgramMapSection::Verdict::Remark:
            if (m_tally.sectionsToRemark++ == 0) m_tally.firstSectionToRemark = at;
            if (assessment.identifierChanges) ++m_tally.identifiersToChange;
            judged(assessment.verdict, at);
            m_videoMarked = true;
            if (m_writes != nullptr) {
                if (m_changes != nullptr) m_changes->sectionRemarked(m_section);
                written = writeSection();
            }
            break;
        case ProgramMapSection::Verdict::Marked:
            ++m_tally.sectionsMarked;
            judged(assessment.verdict, at);
            m_videoMarked = true;
            break;
        case ProgramMapSection::Verdict::Unusable:
            unusable(at, assessment.problem);
            break;
    }
    m_section.clear();
    return written;
}

void StreamRules::judged(ProgramMapSection::Verdict verdict, std::int64_t offset,
                         const SectionProblem& problem) {
    if (m_first.found) return;
    m_first = {true, verdict, offset, problem};
}

void StreamRules::unusable(std::int64_t offset, const SectionProblem& problem) {
    judged(ProgramMapSection::Verdict::Unusable, offset, problem);
    if (m_tally.sectionsUnusable++ != 0) return;
    m_tally.firstUnusableSection = offset;
    m_tally.unusableReason = describeSectionProblem(problem);
    if (onFirstUnusable) onFirstUnusable(offset, m_tally.unusableReason);
}

// Writes the rebuilt section so that a run killed at any moment leaves a section that a rerun
// still recognises and completes: every write stays inside one page (a write inside a page is
// never cut short by a kill), the pieces go from the end of the section to its start, and the
// piece with the stream type goes last. Until that piece lands the entry still reads 0x06, and
// the CRC holds either for the old section or for the re-marked one. A power cut may keep any
// of the pieces instead; the rerun knows such a section by its CRC all the same.
bool StreamRules::writeSection() {
    std::array<std::uint8_t, kSourcePacketSize> out{};
    const std::size_t typePacket = m_section.typePacket();
    std::int64_t typePieceOffset = -1;
    std::size_t typePieceStart = 0;
    std::size_t typePieceEnd = 0;
    std::array<std::uint8_t, kSourcePacketSize> typePacketBytes{};

    for (std::size_t j = m_section.packetCount(); j-- > 0;) {
        m_section.buildPacket(j, out.data());
        const std::int64_t at = m_section.packetOffset(j);
        const auto split = static_cast<std::size_t>(
            std::min<std::int64_t>((at / kPageSize + 1) * kPageSize - at, kSourcePacketSize));
        const std::array<std::pair<std::size_t, std::size_t>, 2> pieces{
            {{split, kSourcePacketSize}, {0, split}}};
        for (const auto& [from, to] : pieces) {
            if (from >= to) continue;
            if (j == typePacket && m_section.typeOffsetInPacket() >= from &&
                m_section.typeOffsetInPacket() < to) {
                typePieceOffset = at;
                typePieceStart = from;
                typePieceEnd = to;
                typePacketBytes = out;
                continue;
            }
            if (!m_writes->write(out.data() + from, to - from,
                                 at + static_cast<std::int64_t>(from))) {
                return false;
            }
        }
    }
    return typePieceOffset < 0 ||
           m_writes->write(typePacketBytes.data() + typePieceStart, typePieceEnd - typePieceStart,
                           typePieceOffset + static_cast<std::int64_t>(typePieceStart));
}

bool StreamRules::remarkPes(const SourcePacket& packet, std::size_t start, std::int64_t offset) {
    if (m_tally.pesToRemark++ == 0) m_tally.firstPesToRemark = offset;
    if (m_writes == nullptr) return true;
    if (m_changes != nullptr) m_changes->pesRemarked(offset);
    std::array<std::uint8_t, kSourcePacketSize> out{};
    std::memcpy(out.data(), packet.bytes(), kSourcePacketSize);
    out[start + kPesStreamIdOffset] = kStreamIdUhdVideo;
    return m_writes->write(out.data(), kSourcePacketSize, offset);
}

}  // namespace quorvel
