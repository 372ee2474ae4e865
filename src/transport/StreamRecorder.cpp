#include "transport/StreamRecorder.h"

#include <vector>

namespace quorvel {

StreamRecorder::StreamRecorder(StreamRecordSink& sink)
    : m_sink(sink), m_recordedUpTo(sink.recordedUpTo()) {
    m_batch.begin(m_sink.streamNumber(), 0);
}

void StreamRecorder::pesRemarked(std::int64_t packetOffset) {
    if (packetOffset < m_recordedUpTo) return;
    m_batch.addPes(packetOffset);
}

void StreamRecorder::sectionRemarked(const ProgramMapSection& section) {
    const std::size_t packets = section.packetCount();
    std::vector<std::int64_t> offsets(packets);
    for (std::size_t j = 0; j < packets; ++j) offsets[j] = section.packetOffset(j);
    // The section is rewritten while its last packet is examined.
    if (offsets.back() < m_recordedUpTo) return;
    std::vector<undo::ByteChange> bytes;
    std::array<std::uint8_t, kSourcePacketSize> rebuilt{};
    for (std::size_t j = 0; j < packets; ++j) {
        section.buildPacket(j, rebuilt.data());
        const std::uint8_t* collected = section.collectedPacket(j);
        for (std::size_t k = 0; k < kSourcePacketSize; ++k) {
            if (collected[k] == rebuilt[k]) continue;
            bytes.push_back({offsets[j] + static_cast<std::int64_t>(k), collected[k], rebuilt[k]});
        }
    }
    m_batch.addSection(offsets, bytes);
}

bool StreamRecorder::commit(std::int64_t to, std::string& why) {
    if (!m_batch.empty() && !m_sink.appendDurably(m_batch.finish(to), why)) return false;
    m_batch.begin(m_sink.streamNumber(), to);
    return true;
}

}  // namespace quorvel
