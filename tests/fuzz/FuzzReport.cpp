// The analyser's report, fed to the parser line by line, and the same bytes cut into lines by
// the splitter at arbitrary chunk boundaries: no read outside a line, and the same records
// whatever the chunking.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "analysis/LineSplitter.h"
#include "analysis/MediaInfoParser.h"

using namespace quorvel;
using namespace quorvel::fuzz;

namespace {

constexpr const char* kTarget = "fuzz_report";

// Parses one line from a heap block of exactly its size, so a read past the line's end is a
// heap overflow that AddressSanitizer reports.
void parseExact(MediaInfoReport& state, const std::string& line) {
    const std::unique_ptr<char[]> exact(new char[line.size() + (line.empty() ? 1 : 0)]);
    for (std::size_t i = 0; i < line.size(); ++i) exact[i] = line[i];
    ParseMediaInfoLine(state, std::string_view(exact.get(), line.size()));
}

void checkInvariants(const MediaInfoReport& state) {
    FUZZ_CHECK(kTarget, state.trackCount >= 0, "negative track count");
    FUZZ_CHECK(kTarget,
               state.tracks.size() == static_cast<std::size_t>(state.trackCount) + 1,
               "the records do not number count + 1");
    FUZZ_CHECK(kTarget,
               state.videoTrackIndex >= 0 && state.videoTrackIndex <= state.trackCount,
               "the video track index lies outside the records");
}

// A small generator for chunk sizes, seeded from the input so that every input replays alike.
class ChunkSizes {
public:
    explicit ChunkSizes(std::uint64_t seed) : m_state(seed | 1) {}
    std::size_t next(std::size_t limit) {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        // Mostly small chunks, now and then a large one.
        const std::size_t span = (m_state & 3) == 0 ? limit : 8;
        return 1 + static_cast<std::size_t>(m_state >> 8) % span;
    }

private:
    std::uint64_t m_state;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The reference cut: every LF ends a line; what follows the last LF is a line of its own
    // once the output has ended.
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t lf = text.find('\n', start);
        const std::size_t next = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(start, next - start));
        start = next;
    }

    MediaInfoReport reference;
    for (const std::string& line : lines) parseExact(reference, line);
    checkInvariants(reference);

    std::uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < size && i < 8; ++i) seed = seed * 131 + data[i];
    ChunkSizes chunks(seed);

    LineSplitter splitter;
    MediaInfoReport chunked;
    std::vector<std::string> received;
    std::string line;
    for (std::size_t at = 0; at < size;) {
        const std::size_t take = std::min(chunks.next(size), size - at);
        splitter.feed(std::string_view(text).substr(at, take));
        at += take;
        while (splitter.nextLine(line)) {
            received.push_back(line);
            parseExact(chunked, line);
        }
    }
    splitter.finish();
    while (splitter.nextLine(line)) {
        received.push_back(line);
        parseExact(chunked, line);
    }
    checkInvariants(chunked);
    FUZZ_CHECK(kTarget, received == lines, "the splitter cut other lines than the reference");
    FUZZ_CHECK(kTarget, chunked.tracks == reference.tracks,
               "the records differ with the chunking");
    FUZZ_CHECK(kTarget, chunked.trackCount == reference.trackCount &&
                            chunked.videoTrackIndex == reference.videoTrackIndex &&
                            chunked.videoTrackFound == reference.videoTrackFound,
               "the count or the video track differ with the chunking");
    return 0;
}
