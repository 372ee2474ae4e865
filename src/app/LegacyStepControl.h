#pragma once

#include <string>

#include "app/JobContext.h"
#include "shared/LogLine.h"
#include "shared/StepControl.h"

namespace quorvel {

// The stop token and progress sink of a step, answered from a job context: a stop question lets
// the window run its pending events and then reads the abort flag; progress is due on a timer
// tick, and a position goes to the bar (3675 twips wide) and the percentage caption.
class LegacyStepControl final : public StopToken, public ProgressSink {
  public:
    explicit LegacyStepControl(JobContext& ctx) : m_ctx(ctx) {}

    bool stopRequested() override {
        m_ctx.window.processPendingEvents();
        return m_ctx.state.abortRequested;
    }
    bool progressDue() override {
        if (!m_ctx.state.timerTick) return false;
        m_ctx.state.timerTick = false;
        return true;
    }
    void showProgress(double fraction, const std::string& caption) override {
        m_ctx.window.setBarWidth(static_cast<float>(fraction * kBarFullWidth));
        m_ctx.window.setPercentText(caption);
    }

  private:
    static constexpr double kBarFullWidth = 3675.0;
    JobContext& m_ctx;
};

// Logs a step's lines, behind the time prefix where they ask for it.
inline void logStepLines(JobContext& ctx, const LogLines& lines) {
    for (const LogLine& line : lines) {
        ctx.log.Status(line.timed ? ctx.log.TimeStamp() + line.text : line.text);
    }
}

}  // namespace quorvel
