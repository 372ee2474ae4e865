#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "app/ConversionDriver.h"
#include "app/JobHost.h"
#include "app/JobSteps.h"
#include "app/StatusLog.h"

namespace quorvel::win32 {

// The program's one window on Windows, made of the system's own controls. It lays the controls
// out at the form's twip positions for the window's DPI, hosts the job logic (JobHost) and hands
// its events (button presses, close and logoff requests, timer ticks) to `ConversionDriver`.
// The job runs on the window's thread, as in the Qt window: while it runs, `stopRequested`
// dispatches the pending messages, so the window repaints and its buttons answer. While the
// user drags the window or a message box is up, that thread is inside the system's own loop and
// the job waits.
class MainWindow : public JobHost, public LogBox {
  public:
    static constexpr int kClientWidth = 450;
    static constexpr int kClientHeight = 372;
    static constexpr int kTwipsPerInch = 1440;
    static constexpr int kBaseDpi = 96;
    static constexpr float kBarFullTwips = 3675.0f;
    static constexpr int kTickMilliseconds = 500;
    static constexpr int kFatalExitCode = 1;

    // Control identifiers (WM_COMMAND's low word).
    enum ControlId : int {
        kBrowseId = 101,
        kCommand1Id,
        kS1080Id,
        kStatusLogId,
        kSrcId,
        kPerCentId,
        kProgressId,
    };

    // `steps` replaces the real scan and adjusters (tests); null means the real ones.
    explicit MainWindow(std::unique_ptr<JobSteps> steps = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Makes the window and its controls, hidden. False when the system refused.
    bool create(HINSTANCE instance);
    HWND handle() const { return m_window; }
    HWND control(ControlId id) const { return ::GetDlgItem(m_window, id); }

    // Start-up, before the window is shown. False when the program must end (the analyser is
    // missing; the user has been told).
    bool Form_Load(const std::string& programFolder);
    // The Browse button: pick a folder, accept it as the source when it holds a Blu-ray tree.
    void Browse_Click();
    // A folder named on the command line (or dropped on the program in Explorer) becomes the
    // source as a Browse choice of it would; one that is refused leaves the source empty.
    void preselect(const std::string& folder);

    // Runs the message loop until the window is gone; returns the program's exit status.
    int run();
    // Handles one message the way the loop does: Return or keypad Enter on a focused push button
    // presses it, Tab moves the focus, the rest is dispatched.
    void dispatch(MSG& message);

    ConversionDriver& core() { return m_core; }
    const std::string& logText() const { return m_logText; }
    float barWidthTwips() const { return m_barTwips; }
    UINT dpi() const { return m_dpi; }

    // JobHost
    std::string sourcePath() const override { return m_source; }
    bool skipM2tsTicked() const override;
    std::string buttonCaption() const override;
    void setButtonCaption(const std::string& caption) override;
    void logLine(const std::string& line) override { m_log.Status(line); }
    void setTickInterval(int milliseconds) override;
    MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind) override;
    void endProgram() override;
    // Dispatches the window's pending messages, then answers the core's abort flag.
    bool stopRequested() override;
    bool progressDue() override { return m_core.takeTimerTick(); }
    void showProgress(double fraction, const std::string& caption) override;

    // LogBox
    void replaceLogText(const std::string& text) override;
    void setLogCaret(long long position, long long selectionLength) override;
    void repaintLog() override;

    // The progress display: bar width in twips (0 to 3675) and the percentage caption.
    void setBarWidth(float twips);
    void setPercentText(const std::string& text);

  protected:
    // The folder picker step: the chosen folder, or nothing when the user cancelled.
    virtual std::optional<std::string> pickFolder(const std::string& current,
                                                  const std::string& title);

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void buildControls();
    void layout();
    void makeFonts();
    void drawBar(const DRAWITEMSTRUCT& item) const;
    void setSource(const std::string& path);
    void acceptSource(std::string picked);
    void onCommand1Clicked();
    void onQueryEndSession(LPARAM reason, LRESULT& answer);
    void reportFatalError(const std::string& description);
    int scaled(int twips) const;

    HWND m_window = nullptr;
    UINT m_dpi = kBaseDpi;
    HFONT m_labelFont = nullptr;
    HFONT m_logFont = nullptr;
    HBRUSH m_greyBrush = nullptr;
    HBRUSH m_whiteBrush = nullptr;
    UINT_PTR m_timer = 0;
    std::string m_source;
    // The log as the core gave it, to map caret positions (characters) onto the box (UTF-16).
    std::wstring m_logWide;
    float m_barTwips = kBarFullTwips;
    int m_exitCode = 0;
    bool m_ended = false;
    // The whole log; the box shows it.
    std::string m_logText;
    StatusLog m_log{m_logText, *this};
    // Last member: its constructor keeps a reference to this window as its host.
    ConversionDriver m_core;
};

}  // namespace quorvel::win32
