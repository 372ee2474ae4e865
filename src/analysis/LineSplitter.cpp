#include "analysis/LineSplitter.h"

#include <algorithm>

namespace quorvel {

namespace {
constexpr char kLineFeed = '\n';
}  // namespace

LineSplitter::LineSplitter(std::size_t maxLineLength)
    : m_maxLineLength(std::max<std::size_t>(maxLineLength, 1)) {}

void LineSplitter::feed(std::string_view chunk) {
    if (m_skipping) {
        const std::size_t end = chunk.find(kLineFeed);
        if (end == std::string_view::npos) return;
        m_skipping = false;
        ++m_droppedLines;
        chunk.remove_prefix(end + 1);
    }
    // Only the new bytes can hold the last LF, so the search never rescans a long partial line.
    const std::size_t lastFeed = chunk.rfind(kLineFeed);
    if (lastFeed != std::string_view::npos) m_tailStart = m_pending.size() + lastFeed + 1;
    m_pending.append(chunk);
    if (m_pending.size() - m_tailStart > m_maxLineLength) {
        m_pending.erase(m_tailStart);
        m_skipping = true;
    }
}

bool LineSplitter::nextLine(std::string& line) {
    for (;;) {
        const std::size_t end = m_pending.find(kLineFeed, m_readPosition);
        if (end == std::string::npos && m_finished && m_readPosition < m_pending.size()) {
            // The partial line is never longer than the limit: feed() drops it once it passes.
            line.assign(m_pending, m_readPosition);
            m_pending.clear();
            m_readPosition = 0;
            m_tailStart = 0;
            return true;
        }
        if (end == std::string::npos) {
            // Only the partial tail is left: move it to the front so the buffer does not creep.
            m_pending.erase(0, m_readPosition);
            m_tailStart -= m_readPosition;
            m_readPosition = 0;
            return false;
        }
        const std::size_t length = end - m_readPosition;
        const std::size_t start = m_readPosition;
        m_readPosition = end + 1;
        // The same limit as for a partial line, so the outcome never depends on the chunking.
        if (length > m_maxLineLength) {
            ++m_droppedLines;
            continue;
        }
        line.assign(m_pending, start, length + 1);
        return true;
    }
}

void LineSplitter::finish() {
    if (m_skipping) {
        // The over-long line ends with the stream: it counts as dropped, like one ended by an LF.
        m_skipping = false;
        ++m_droppedLines;
    }
    m_finished = true;
}

}  // namespace quorvel
