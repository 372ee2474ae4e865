// The command line as the logic's host: its event turns run the core's handlers (the Abort
// press, the close confirmation, the timer) and then answer the core's flag; a tick is used up
// by the asking; positions and log lines reach the terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "app/ConversionDriver.h"
#include "app/cli/CliWindow.h"

namespace quorvel {
namespace {

std::string contentsOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

struct HostCase {
    const char* name;
    bool progressOnTerminal;
    std::function<void(ConversionDriver&, CliWindow&)> before;
    bool stop;  // what stopRequested answers after `before`
    bool due;   // what progressDue answers next
    const char* out;
    const char* err;
};

class CliHost : public ::testing::TestWithParam<HostCase> {};

TEST_P(CliHost, AnswersFromTheCoreAfterItsEventTurn) {
    const HostCase& c = GetParam();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        CliWindow window(out, err, c.progressOnTerminal);
        ConversionDriver core(window);
        window.attach(&core);
        c.before(core, window);
        EXPECT_EQ(window.stopRequested(), c.stop);
        EXPECT_EQ(window.progressDue(), c.due);
        EXPECT_FALSE(window.progressDue()) << "a tick is used up by the asking";
    }
    EXPECT_EQ(contentsOf(out), c.out);
    EXPECT_EQ(contentsOf(err), c.err);
    std::fclose(out);
    std::fclose(err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliHost,
    ::testing::Values(
        HostCase{"Idle", false, [](ConversionDriver&, CliWindow&) {}, false, false, "", ""},
        HostCase{"AbortPress", false,
                 [](ConversionDriver& core, CliWindow& window) {
                     window.setButtonCaption(kAbortCaption);
                     core.Command1_Click();
                     EXPECT_EQ(window.buttonCaption(), kIdleCaption);
                 },
                 true, false, "", ""},
        HostCase{"CloseAnsweredNo", false,
                 [](ConversionDriver& core, CliWindow& window) {
                     window.setButtonCaption(kAbortCaption);
                     EXPECT_TRUE(core.Form_QueryUnload());
                 },
                 false, false, "",
                 "Confirm Abort: Process executing.  Do you wish to abort?\n"},
        HostCase{"TimerTick", false,
                 [](ConversionDriver& core, CliWindow&) { core.Timer1_Timer(); }, false, true, "",
                 ""},
        HostCase{"TickDueInTheEventTurn", false,
                 [](ConversionDriver&, CliWindow& window) {
                     window.setTickInterval(1);
                     std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 },
                 false, true, "", ""},
        HostCase{"ProgressAndLogOnATerminal", true,
                 [](ConversionDriver&, CliWindow& window) {
                     window.showProgress(0.5, "50.00%");
                     window.logLine("========Job Started========");
                 },
                 false, false, "========Job Started========\n",
                 "\rCurrent Progress:   50.00%\n"},
        HostCase{"NoProgressLineElsewhere", false,
                 [](ConversionDriver&, CliWindow& window) {
                     window.showProgress(1.0, "100.00%");
                     window.logLine("line\r\nof two");
                 },
                 false, false, "line\nof two\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel
