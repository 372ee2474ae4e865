#pragma once

#include <string>

#include "shared/StepControl.h"

namespace quorvel {

enum class MessageBoxKind {
    Plain,     // OK only, no icon
    Error,     // OK only, stop-sign icon
    Question,  // Yes and No, warning icon
};

enum class MessageBoxResult { Ok, Yes, No };

// Everything the program's logic asks of a front end (the window, the command line). The logic
// touches no control in any other way, so the same logic runs under both. Every call happens on
// the one thread that runs the job.
//
// As a StopToken the host runs its pending events (button presses, close requests, timer ticks)
// and then answers the logic's abort flag; as a ProgressSink it answers whether its timer has
// ticked since the last position and shows a new one.
class JobHost : public StopToken, public ProgressSink {
  public:
    // Caption of the source label: empty, or a folder path ending with a separator.
    virtual std::string sourcePath() const = 0;
    // True only for the ticked state of "Skip M2TS".
    virtual bool skipM2tsTicked() const = 0;
    // Caption of the convert/abort button; it carries the job's running state.
    virtual std::string buttonCaption() const = 0;
    virtual void setButtonCaption(const std::string& caption) = 0;

    // Appends one line to the status log, exactly as given, and shows it.
    virtual void logLine(const std::string& line) = 0;
    // Interval of the progress timer; a stream pass wants a tick every 500 ms.
    virtual void setTickInterval(int milliseconds) = 0;

    virtual MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                            MessageBoxKind kind) = 0;
    virtual void endProgram() = 0;
};

}  // namespace quorvel
