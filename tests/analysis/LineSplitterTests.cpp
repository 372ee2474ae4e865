#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "analysis/LineSplitter.h"

namespace quorvel {
namespace {

std::vector<std::string> drain(LineSplitter& splitter) {
    std::vector<std::string> lines;
    std::string line;
    while (splitter.nextLine(line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> splitInChunks(const std::string& text, std::size_t chunk,
                                       std::size_t maxLine = LineSplitter::kDefaultMaxLineLength) {
    LineSplitter splitter(maxLine);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        splitter.feed(std::string_view(text).substr(at, chunk));
        for (auto& line : drain(splitter)) lines.push_back(line);
    }
    return lines;
}

TEST(LineSplitter, LinesComeOutWholeWithTheirEndsWhateverTheChunking) {
    const std::string text = "General\r\nID : 1\n\nVideo\r\nlast line without end";
    const std::vector<std::string> expected = {"General\r\n", "ID : 1\n", "\n", "Video\r\n"};
    for (std::size_t chunk = 1; chunk <= text.size(); ++chunk) {
        EXPECT_EQ(splitInChunks(text, chunk), expected) << "chunk " << chunk;
    }
}

TEST(LineSplitter, TextAfterTheLastLineFeedStaysPending) {
    LineSplitter splitter;
    splitter.feed("Wid");
    EXPECT_TRUE(drain(splitter).empty());
    splitter.feed("th : 3 840 pixels\nHeig");
    EXPECT_EQ(drain(splitter), std::vector<std::string>{"Width : 3 840 pixels\n"});
    EXPECT_EQ(splitter.pendingBytes(), 4u);
    splitter.feed("ht\n");
    EXPECT_EQ(drain(splitter), std::vector<std::string>{"Height\n"});
    EXPECT_EQ(splitter.pendingBytes(), 0u);
}

TEST(LineSplitter, FinishHandsOutTheUnendedTailUnlessItIsTooLong) {
    constexpr std::size_t kLimit = 8;
    struct Case {
        std::string text;
        std::vector<std::string> lines;
        std::size_t dropped;
    };
    const std::vector<Case> cases = {
        {"a\nlast", {"a\n", "last"}, 0},
        {"a\n", {"a\n"}, 0},
        {"", {}, 0},
        {"a\n12345678", {"a\n", "12345678"}, 0},  // exactly the limit
        {"a\n123456789", {"a\n"}, 1},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk = 1; chunk <= std::max<std::size_t>(c.text.size(), 1); ++chunk) {
            LineSplitter splitter(kLimit);
            std::vector<std::string> lines;
            for (std::size_t at = 0; at < c.text.size(); at += chunk) {
                splitter.feed(std::string_view(c.text).substr(at, chunk));
            }
            splitter.finish();
            EXPECT_EQ(drain(splitter), c.lines) << c.text << ", chunk " << chunk;
            EXPECT_EQ(splitter.droppedLines(), c.dropped) << c.text << ", chunk " << chunk;
            EXPECT_EQ(splitter.pendingBytes(), 0u) << c.text;
        }
    }
}

TEST(LineSplitter, OverlongLineIsDroppedAndMemoryStaysBounded) {
    constexpr std::size_t kLimit = 64;
    LineSplitter splitter(kLimit);
    splitter.feed("before\n");
    const std::string flood(1000, 'x');
    for (int i = 0; i < 100; ++i) {
        splitter.feed(flood);
        EXPECT_LE(splitter.pendingBytes(), kLimit + std::string("before\n").size());
    }
    splitter.feed("tail of the flood\nafter\n");
    EXPECT_EQ(drain(splitter), (std::vector<std::string>{"before\n", "after\n"}));
    EXPECT_EQ(splitter.droppedLines(), 1u);

    // A line of exactly the limit (its LF not counted) still passes.
    const std::string atLimit(kLimit, 'y');
    EXPECT_EQ(splitInChunks(atLimit + "\n", 7, kLimit), std::vector<std::string>{atLimit + "\n"});
    EXPECT_TRUE(splitInChunks(atLimit + "y\n", 7, kLimit).empty());
}

}  // namespace
}  // namespace quorvel
