#pragma once

#include <string>

namespace quorvel {

enum class MessageBoxKind {
    Plain,     // OK only, no icon
    Error,     // OK only, stop-sign icon
    Question,  // Yes and No, warning icon
};

enum class MessageBoxResult { Ok, Yes, No };

// Everything the job logic may ask of a front end. The logic touches no control in any other
// way, so the same logic runs under the Qt window and under the headless command line.
// Every call happens on the one thread that runs the job.
class WindowOperations {
  public:
    virtual ~WindowOperations() = default;

    // Caption of the source label: empty, or a folder path ending with a separator.
    virtual std::string sourcePath() const = 0;
    // Caption of the convert/abort button; it carries the job's running state.
    virtual std::string buttonCaption() const = 0;
    virtual void setButtonCaption(const std::string& caption) = 0;
    // True only for the ticked state of "Skip M2TS".
    virtual bool skipM2tsTicked() const = 0;

    // The status log box: replace its whole text, place the caret, repaint at once.
    virtual void replaceLogText(const std::string& text) = 0;
    virtual void setLogCaret(long long position, long long selectionLength) = 0;
    virtual void repaintLog() = 0;

    // The progress display: bar width in twips (0 to 3675) and the percentage caption.
    virtual void setBarWidth(float twips) = 0;
    virtual void setPercentText(const std::string& text) = 0;
    // Interval of the progress timer.
    virtual void setTickInterval(int milliseconds) = 0;

    // Run every handler that is due (button presses, close requests, timer ticks), then return.
    virtual void processPendingEvents() = 0;

    virtual MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                            MessageBoxKind kind) = 0;
    virtual void endProgram() = 0;
};

}  // namespace quorvel
