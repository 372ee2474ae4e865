#pragma once

#include <functional>
#include <string>

#include "shared/StepControl.h"

namespace quorvel::test {

// A stop token and progress sink that a test drives: every stop question counts a turn, runs
// the test's hook and answers `abortRequested`; progress is due once per `timerTick` set, and a
// position is kept as the bar width (3675 wide) and caption a window would show.
class ScriptedControl final : public StopToken, public ProgressSink {
  public:
    bool abortRequested = false;
    bool timerTick = false;
    int eventTurns = 0;
    std::function<void()> onProcessEvents;
    float barWidth = 3675.0f;
    std::string percentText = "0.00%";

    bool stopRequested() override {
        ++eventTurns;
        if (onProcessEvents) onProcessEvents();
        return abortRequested;
    }
    bool progressDue() override {
        const bool due = timerTick;
        timerTick = false;
        return due;
    }
    void showProgress(double fraction, const std::string& caption) override {
        barWidth = static_cast<float>(fraction * 3675.0);
        percentText = caption;
    }
};

}  // namespace quorvel::test
