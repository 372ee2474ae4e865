#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "app/JobHost.h"
#include "app/StatusLog.h"

namespace quorvel {

class ConversionDriver;

// The front end without a window: log lines go to stdout as they are appended, message boxes to
// stderr, a live progress line to stderr when it is a terminal, and SIGINT or SIGTERM stand for
// a press of the Abort button.
class CliWindow final : public JobHost, public LogBox {
  public:
    CliWindow(std::FILE* out, std::FILE* err, bool progressOnTerminal);

    // The logic whose handlers (Abort press, timer tick) run inside stopRequested.
    void attach(ConversionDriver* core) { m_core = core; }
    void setSourcePath(std::string path) { m_source = std::move(path); }
    void setSkipM2ts(bool skip) { m_skipM2ts = skip; }
    // Ends the live progress line so the next output starts on a fresh line.
    void finishProgressLine();
    bool endRequested() const { return m_endRequested; }

    // Installs the SIGINT/SIGTERM handlers; the first signal requests the abort, a second one
    // ends the process the usual way.
    static void installSignalHandlers();
    static bool signalReceived();

    // JobHost
    std::string sourcePath() const override { return m_source; }
    bool skipM2tsTicked() const override { return m_skipM2ts; }
    std::string buttonCaption() const override { return m_caption; }
    void setButtonCaption(const std::string& caption) override { m_caption = caption; }
    void logLine(const std::string& line) override { m_log.Status(line); }
    void setTickInterval(int milliseconds) override;
    MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind) override;
    void endProgram() override { m_endRequested = true; }
    bool stopRequested() override;
    bool progressDue() override;
    // The caption alone: a terminal line has no bar.
    void showProgress(double fraction, const std::string& caption) override;

    // LogBox: what the log shows is printed as it grows.
    void replaceLogText(const std::string& text) override;
    void setLogCaret(long long, long long) override {}
    void repaintLog() override;

  private:
    void printNewText(const std::string& added);
    void setPercentText(const std::string& text);
    // Runs the handlers that are due: a signal's Abort press, the timer's tick.
    void processPendingEvents();

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_progressOnTerminal;
    bool m_progressShown = false;
    ConversionDriver* m_core = nullptr;
    std::string m_source;
    std::string m_caption;
    bool m_skipM2ts = false;
    bool m_endRequested = false;
    bool m_signalHandled = false;
    std::string m_shownLog;
    std::chrono::milliseconds m_tickInterval{500};
    std::chrono::steady_clock::time_point m_lastTick;
    // The whole log as the window would show it; what it gains is printed.
    std::string m_logText;
    StatusLog m_log{m_logText, *this};
};

// The part of `current` that was appended after `previous`, for a log that is either extended
// or cut back to its newest part behind a marker.
std::string appendedLogText(const std::string& previous, const std::string& current);

}  // namespace quorvel
