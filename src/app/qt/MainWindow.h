#pragma once

#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/ConversionDriver.h"
#include "app/JobHost.h"
#include "app/JobSteps.h"
#include "app/StatusLog.h"

class QCheckBox;
class QCloseEvent;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quorvel {

// The program's one window. It lays out the controls at their fixed pixel positions, hosts the
// job logic (JobHost), and hands its events (button presses, close requests, timer ticks) to the
// core, `ConversionDriver`.
class MainWindow : public QWidget, public JobHost, public LogBox {
    Q_OBJECT

  public:
    // Asks the user for a folder. Receives the current source (may be empty) and the prompt;
    // returns the chosen folder, or nothing when the user cancelled.
    using FolderPicker = std::function<std::optional<std::string>(const std::string& current,
                                                                  const std::string& title)>;
    // Ends the program with an exit status.
    using ProgramEnder = std::function<void(int exitCode)>;

    static constexpr int kClientWidth = 450;
    static constexpr int kClientHeight = 372;
    static constexpr int kTwipsPerPixel = 15;
    // Full width of the progress bar, in twips and in pixels.
    static constexpr float kBarFullTwips = 3675.0f;
    static constexpr int kBarWidth = 245;
    static constexpr int kBarHeight = 6;
    static constexpr int kTickMilliseconds = 500;
    static constexpr int kFatalExitCode = 1;

    // `steps` replaces the real scan and adjusters (tests); null means the real ones.
    explicit MainWindow(std::unique_ptr<JobSteps> steps = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up, before the window is shown. False when the program must end (the analyser is
    // missing; the user has been told).
    bool Form_Load(const std::string& programFolder);
    // The Browse button: pick a folder, accept it as the source when it holds a Blu-ray tree.
    void Browse_Click();
    // The folder picker step: the chosen folder ending with a separator, or `current` unchanged
    // when the user cancelled.
    std::string BrowseForDirectory(const std::string& current, const std::string& titletxt);

    void setFolderPicker(FolderPicker picker) { m_picker = std::move(picker); }
    void setProgramEnder(ProgramEnder ender) { m_ender = std::move(ender); }

    ConversionDriver& core() { return m_core; }
    float barWidthTwips() const { return m_barTwips; }
    // The whole status log, CR LF after every line.
    const std::string& logText() const { return m_logText; }
    int tickInterval() const { return m_timer.interval(); }

    // The bar picture: one colour per row, a white first column.
    static QImage barPicture();

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
    // Runs the window's pending events, then answers the core's abort flag.
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
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    void setSource(const std::string& path);
    void onCommand1Clicked();
    void reportFatalError(const std::string& description);
    std::optional<std::string> pickWithDialog(const std::string& current, const std::string& title);

    QLabel* m_label4 = nullptr;
    QLabel* m_src = nullptr;
    QPushButton* m_browse = nullptr;
    QLabel* m_label1 = nullptr;
    QFrame* m_frame2 = nullptr;
    QPlainTextEdit* m_statusLog = nullptr;
    QFrame* m_frame1 = nullptr;
    QLabel* m_label3 = nullptr;
    QFrame* m_picture1 = nullptr;
    QLabel* m_progress = nullptr;
    QLabel* m_perCent = nullptr;
    QPushButton* m_command1 = nullptr;
    QCheckBox* m_s1080 = nullptr;
    QTimer m_timer;

    std::string m_source;
    // The log as the core gave it (CR LF line ends), to map caret positions onto the box.
    QString m_logSource;
    float m_barTwips = kBarFullTwips;
    // Exit status for endProgram: 0 for an ordinary end, 1 after an error that ends the program.
    int m_exitCode = 0;
    FolderPicker m_picker;
    ProgramEnder m_ender;
    // The whole log; the box shows it.
    std::string m_logText;
    StatusLog m_log{m_logText, *this};
    // Last member: its constructor keeps a reference to this window as its host.
    ConversionDriver m_core;
};

}  // namespace quorvel
