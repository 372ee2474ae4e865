#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel {

// Cuts a byte stream that arrives in arbitrary chunks into LF-ended lines. Lines come out whole
// (with their LF, and a CR before it when there is one) and in order, whatever the chunking;
// text after the last LF stays pending until finish() says the stream has ended, and then comes
// out as a last line without an LF.
//
// Memory stays bounded: a line longer than `maxLineLength` (its LF not counted) is thrown away
// whole, however it arrives, and counted in droppedLines(); a partial line is discarded as soon
// as it passes the limit, so an analyser gone wrong (or a binary dump without line feeds)
// cannot make us hold more than the limit plus one read. No real report line comes anywhere
// near the default limit.
class LineSplitter {
  public:
    static constexpr std::size_t kDefaultMaxLineLength = std::size_t{1} << 20;  // 1 MiB

    explicit LineSplitter(std::size_t maxLineLength = kDefaultMaxLineLength);

    // Appends a chunk of output.
    void feed(std::string_view chunk);
    // Moves the next complete line into `line`. False when no complete line is pending.
    bool nextLine(std::string& line);
    // The stream has ended: the text after the last LF becomes a line of its own, handed out by
    // nextLine() after the complete lines. A partial line over the limit is dropped instead.
    // Nothing may be fed afterwards.
    void finish();

    // Bytes received and not handed out yet (complete lines included).
    std::size_t pendingBytes() const { return m_pending.size() - m_readPosition; }
    // Over-long lines thrown away so far (a line still being skipped is not counted yet).
    std::size_t droppedLines() const { return m_droppedLines; }

  private:
    std::size_t m_maxLineLength;
    std::string m_pending;
    std::size_t m_readPosition = 0;
    // Where the partial line after the last LF begins in m_pending.
    std::size_t m_tailStart = 0;
    // True while the rest of an over-long line is being thrown away.
    bool m_skipping = false;
    // True once finish() has been called: the partial tail counts as a line.
    bool m_finished = false;
    std::size_t m_droppedLines = 0;
};

}  // namespace quorvel
