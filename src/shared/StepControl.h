#pragma once

#include <string>

namespace quorvel {

// What a long-running step asks of whoever runs it. The steps know nothing of windows or logs:
// at each safe point they ask whether to stop, and now and then they offer a new position for
// the progress display. Both are called on the thread that runs the step.
class StopToken {
  public:
    virtual ~StopToken() = default;
    // Asked at every point where stopping leaves each file whole. The front end may run its
    // pending events (button presses, close requests) before it answers.
    virtual bool stopRequested() = 0;
};

class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    // Whether the display is ready for a new position; the front end sets the pace (a tick of
    // its timer). Asked often, so it must be cheap; a true answer is used up by the asking.
    virtual bool progressDue() = 0;
    // A new position: `fraction` of the whole (0 to 1) and the caption that goes with it.
    virtual void showProgress(double fraction, const std::string& caption) = 0;
};

// For callers that never stop and show no progress (tests, tools).
class NeverStop final : public StopToken {
  public:
    bool stopRequested() override { return false; }
};

class NoProgress final : public ProgressSink {
  public:
    bool progressDue() override { return false; }
    void showProgress(double, const std::string&) override {}
};

}  // namespace quorvel
