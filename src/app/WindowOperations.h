#pragma once

#include <string>

#include "app/JobHost.h"
#include "app/StatusLog.h"

namespace quorvel {

// The front end as the step functions that still take a JobContext see it. Only
// app/RealJobSteps.cpp builds one, around the JobHost; it goes once every step takes its
// StopToken and ProgressSink.
class WindowOperations : public LogBox {
  public:
    virtual ~WindowOperations() = default;

    // Caption of the source label: empty, or a folder path ending with a separator.
    virtual std::string sourcePath() const = 0;
    // Caption of the convert/abort button; it carries the job's running state.
    virtual std::string buttonCaption() const = 0;
    virtual void setButtonCaption(const std::string& caption) = 0;
    // True only for the ticked state of "Skip M2TS".
    virtual bool skipM2tsTicked() const = 0;

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
