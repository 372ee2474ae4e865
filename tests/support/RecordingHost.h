#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/ConversionDriver.h"
#include "app/JobHost.h"
#include "app/StatusLog.h"
#include "support/TestSupport.h"

namespace quorvel::test {

// A front end that records what the logic does with it. It answers the core's abort flag and
// timer tick like the real front ends; handlers the test wants to run inside the event turns go
// in `onProcessEvents`.
class RecordingHost final : public JobHost, public LogBox {
  public:
    ConversionDriver* core = nullptr;
    std::string source;
    std::string caption = kIdleCaption;
    bool skipM2ts = false;
    std::string logText;
    float barWidth = 3675.0f;
    std::string percentText = "0.00%";
    int tickInterval = 0;
    int eventTurns = 0;
    bool ended = false;
    struct Box {
        std::string text;
        std::string title;
        MessageBoxKind kind;
    };
    std::vector<Box> boxes;
    MessageBoxResult nextAnswer = MessageBoxResult::Ok;
    std::function<void()> onProcessEvents;

    std::string sourcePath() const override { return source; }
    bool skipM2tsTicked() const override { return skipM2ts; }
    std::string buttonCaption() const override { return caption; }
    void setButtonCaption(const std::string& c) override { caption = c; }
    void logLine(const std::string& line) override { m_log.Status(line); }
    void setTickInterval(int ms) override { tickInterval = ms; }
    MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind) override {
        boxes.push_back({text, title, kind});
        return nextAnswer;
    }
    void endProgram() override { ended = true; }
    bool stopRequested() override {
        ++eventTurns;
        if (onProcessEvents) onProcessEvents();
        return core != nullptr && core->abortRequested();
    }
    bool progressDue() override { return core != nullptr && core->takeTimerTick(); }
    void showProgress(double fraction, const std::string& text) override {
        barWidth = static_cast<float>(fraction * 3675);
        percentText = text;
    }

    void replaceLogText(const std::string&) override {}
    void setLogCaret(long long, long long) override {}
    void repaintLog() override {}

    // The log as lines, without their CR LF.
    std::vector<std::string> lines() const { return splitLines(logText); }

  private:
    StatusLog m_log{logText, *this};
};

}  // namespace quorvel::test
