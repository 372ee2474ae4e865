#pragma once

#include <string>

#include "app/JobContext.h"
#include "app/StatusLog.h"
#include "app/WindowOperations.h"

namespace quorvel {

// A window that passes everything on to another one except the log, so that a step run through
// it does its work, and lets the window run, without a line reaching the user's log: the checks
// a job makes before it writes, and the check mode's runs.
class LogMutedWindow final : public WindowOperations {
  public:
    explicit LogMutedWindow(WindowOperations& window) : m_window(window) {}

    std::string sourcePath() const override { return m_window.sourcePath(); }
    std::string buttonCaption() const override { return m_window.buttonCaption(); }
    void setButtonCaption(const std::string& caption) override {
        m_window.setButtonCaption(caption);
    }
    bool skipM2tsTicked() const override { return m_window.skipM2tsTicked(); }
    void replaceLogText(const std::string&) override {}
    void setLogCaret(long long, long long) override {}
    void repaintLog() override {}
    void setBarWidth(float twips) override { m_window.setBarWidth(twips); }
    void setPercentText(const std::string& text) override { m_window.setPercentText(text); }
    void setTickInterval(int milliseconds) override { m_window.setTickInterval(milliseconds); }
    void processPendingEvents() override { m_window.processPendingEvents(); }
    MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind) override {
        return m_window.showMessageBox(text, title, kind);
    }
    void endProgram() override { m_window.endProgram(); }

  private:
    WindowOperations& m_window;
};

// A job context over the same shared state and window whose log lines go nowhere.
class QuietContext {
  public:
    explicit QuietContext(JobContext& ctx)
        : m_window(ctx.window), m_log(m_text, m_window), m_ctx{ctx.state, m_log, m_window} {}
    QuietContext(const QuietContext&) = delete;
    QuietContext& operator=(const QuietContext&) = delete;

    JobContext& context() { return m_ctx; }

  private:
    LogMutedWindow m_window;
    std::string m_text;
    StatusLog m_log;
    JobContext m_ctx;
};

}  // namespace quorvel
