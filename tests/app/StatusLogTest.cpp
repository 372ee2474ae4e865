#include <gtest/gtest.h>

#include "app/StatusLog.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

// The window's log box as the log draws into it.
struct RecordingLogBox final : LogBox {
    std::string logText;
    long long caretPosition = -1;
    long long selectionLength = -1;
    int repaints = 0;

    void replaceLogText(const std::string& text) override { logText = text; }
    void setLogCaret(long long position, long long length) override {
        caretPosition = position;
        selectionLength = length;
    }
    void repaintLog() override { ++repaints; }
};

struct StatusLogTest : ::testing::Test {
    std::string text;
    RecordingLogBox window;
    LocalTime now{14, 15, 0};
    StatusLog log{text, window, [this] { return now; }};
};

TEST_F(StatusLogTest, AppendsCrLfAndShowsTheWholeLogWithCaretBeforeTheLastLineEnd) {
    log.Status("first");
    log.Status("");
    log.Status("third");
    EXPECT_EQ(text, "first\r\n\r\nthird\r\n");
    EXPECT_EQ(window.logText, text);
    EXPECT_EQ(window.caretPosition, static_cast<long long>(text.size()) - 2);
    EXPECT_EQ(window.selectionLength, 0);
    EXPECT_EQ(window.repaints, 3);
}

TEST_F(StatusLogTest, TakesTheLineUnchanged) {
    log.Status("  [not a prefix]  ");
    EXPECT_EQ(text, "  [not a prefix]  \r\n");
}

TEST_F(StatusLogTest, TimeStampUsesTwoDigitTwentyFourHourFields) {
    now = {0, 0, 1};
    EXPECT_EQ(log.TimeStamp(), "[00:00:01]");
    now = {14, 15, 0};
    EXPECT_EQ(log.TimeStamp(), "[14:15:00]");
}

TEST_F(StatusLogTest, ExactlyTheBoundIsKept) {
    text = std::string(65000 - 12, 'a');
    log.Status("0123456789");  // + CR LF = 65000
    EXPECT_EQ(text.size(), 65000u);
    EXPECT_EQ(text.substr(0, 3), "aaa");
}

TEST_F(StatusLogTest, OneCharacterOverTheBoundCutsBackBehindTheMarker) {
    text = std::string(65000 - 12, 'a');
    log.Status("01234567890");  // 65001 characters
    ASSERT_EQ(text.size(), 32036u);
    EXPECT_EQ(text.substr(0, 33), "[Earlier Status Text Truncated]\r\n");
    // "..." stands right in front of the fragment that follows the cut.
    EXPECT_EQ(text.substr(33, 6), "...aaa");
    EXPECT_EQ(text.substr(text.size() - 13), "01234567890\r\n");
    EXPECT_EQ(window.logText, text);
    EXPECT_EQ(window.caretPosition, 32034);
}

TEST_F(StatusLogTest, CountsCharactersNotBytes) {
    // "é" is two bytes of UTF-8 but one character of the log.
    std::string line;
    for (int i = 0; i < 40000; ++i) line += "\xC3\xA9";
    log.Status(line);
    EXPECT_EQ(StatusLog::characterCount(text), 40002u);
    EXPECT_EQ(text.substr(0, 3), "\xC3\xA9\xC3");
    EXPECT_EQ(window.caretPosition, 40000);

    log.Status(line);  // 80004 characters: cut back to 32000 + marker
    EXPECT_EQ(StatusLog::characterCount(text), 32036u);
    // The cut never splits a character.
    EXPECT_EQ(text.substr(33, 5), "...\xC3\xA9");
}

}  // namespace
}  // namespace quorvel
