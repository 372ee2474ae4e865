#include <gtest/gtest.h>

#include "app/StatusLog.h"
#include "app/cli/CliWindow.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

// Feeds every shown log through the command line's window and returns what it printed.
class CapturedCli {
  public:
    CapturedCli() : m_file(std::tmpfile()), m_window(m_file, m_file, false) {}
    ~CapturedCli() { std::fclose(m_file); }
    CliWindow& window() { return m_window; }
    std::string printed() {
        std::fflush(m_file);
        std::rewind(m_file);
        std::string out;
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) out.append(buffer, n);
        return out;
    }

  private:
    std::FILE* m_file;
    CliWindow m_window;
};

TEST(CliLog, PrintsEachAppendedLineOnceWithoutCarriageReturns) {
    CapturedCli cli;
    std::string text;
    StatusLog log(text, cli.window());
    log.Status("========Job Started========");
    log.Status(" - Scan completed.");
    EXPECT_EQ(cli.printed(), "========Job Started========\n - Scan completed.\n");
}

TEST(CliLog, KeepsPrintingOnlyNewLinesAcrossACut) {
    CapturedCli cli;
    std::string text;
    StatusLog log(text, cli.window());
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string line = "line " + std::to_string(i) + " of the log, padded to some width";
        log.Status(line);
        expected += line + "\n";
    }
    ASSERT_NE(text.find("[Earlier Status Text Truncated]"), std::string::npos);
    EXPECT_EQ(cli.printed(), expected);
}

TEST(CliLog, AppendedTextOfALogThatGrew) {
    EXPECT_EQ(appendedLogText("a\r\n", "a\r\nb\r\n"), "b\r\n");
    EXPECT_EQ(appendedLogText("", "x\r\n"), "x\r\n");
}

TEST(CliLog, AppendedTextAfterACutIsTheNewLineEvenWhenItRepeatsTheOldEnd) {
    const std::string previous = std::string(100, 'a') + "\r\nsame\r\n";
    const std::string current =
        std::string("[Earlier Status Text Truncated]\r\n...") + "a\r\nsame\r\nsame\r\n";
    EXPECT_EQ(appendedLogText(previous, current), "same\r\n");
}

}  // namespace
}  // namespace quorvel
