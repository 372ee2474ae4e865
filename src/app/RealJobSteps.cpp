// TEMPORARY ADAPTER — the lead replaces this file after merging the steps that take their inputs
// as parameters and return data. Each method then calls the step of the same contract directly
// (UHD_Adjust_MPLS → adjustPlaylist(mpls, uhdExtension, mode), ...), and JobContext,
// SharedState, WindowOperations and app/StepResults.h go with this adapter.
//
// Until then it runs the steps that still take a JobContext: it builds a context of its own
// whose log captures into a string and whose window forwards the event turns to the StopToken
// (its answer becomes the abort flag the old loops test) and the progress display to the
// ProgressSink. The captured lines, already time-stamped, become the step's `lines`, without the
// heading the old step logged itself (the pipeline logs it).

#include <cstddef>

#include "analysis/AttributeScan.h"
#include "app/JobContext.h"
#include "app/JobSteps.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"
#include "shared/SharedState.h"
#include "transport/Crc32Mpeg2.h"

namespace quorvel {

namespace {

constexpr float kBarFullTwips = 3675.0f;

// The window an old step sees: no log box, no controls; event turns and progress go to the
// pipeline's token and sink.
class StepWindow final : public WindowOperations {
  public:
    StepWindow(SharedState& state, StopToken& stop, ProgressSink& progress)
        : m_state(state), m_stop(stop), m_progress(progress) {}

    std::string sourcePath() const override { return {}; }
    std::string buttonCaption() const override { return {}; }
    void setButtonCaption(const std::string&) override {}
    bool skipM2tsTicked() const override { return false; }
    void replaceLogText(const std::string&) override {}
    void setLogCaret(long long, long long) override {}
    void repaintLog() override {}
    void setBarWidth(float twips) override { m_twips = twips; }
    // The old pass sets the width, then the caption: the pair is one position.
    void setPercentText(const std::string& text) override {
        m_progress.showProgress(static_cast<double>(m_twips) / kBarFullTwips, text);
    }
    // The pipeline sets the interval before a stream pass.
    void setTickInterval(int) override {}
    void processPendingEvents() override {
        m_state.abortRequested = m_stop.stopRequested();
        if (m_progress.progressDue()) m_state.timerTick = true;
    }
    MessageBoxResult showMessageBox(const std::string&, const std::string&,
                                    MessageBoxKind) override {
        return MessageBoxResult::Ok;
    }
    void endProgram() override {}

  private:
    SharedState& m_state;
    StopToken& m_stop;
    ProgressSink& m_progress;
    float m_twips = 0.0f;
};

// One run of an old step.
class OldStep {
  public:
    OldStep(StopToken& stop, ProgressSink& progress)
        : m_window(m_state, stop, progress), m_log(m_text, m_window), m_ctx{m_state, m_log, m_window} {
        buildCrcTable(m_state.crcTable);
        // A tick that came before the pass is the pass's first one, as with the shared flag.
        m_state.timerTick = progress.progressDue();
    }
    OldStep(const OldStep&) = delete;
    OldStep& operator=(const OldStep&) = delete;

    JobContext& ctx() { return m_ctx; }
    SharedState& state() { return m_state; }

    // The captured lines, after the step's own heading when it logs one (the survey does not).
    LogLines lines(bool afterHeading = true) const {
        LogLines lines;
        std::size_t start = 0;
        bool heading = afterHeading;
        while (start < m_text.size()) {
            std::size_t end = m_text.find("\r\n", start);
            if (end == std::string::npos) end = m_text.size();
            if (!heading) lines.push_back({m_text.substr(start, end - start), false});
            heading = false;
            start = end + 2;
        }
        return lines;
    }

  private:
    SharedState m_state;
    StepWindow m_window;
    std::string m_text;
    StatusLog m_log;
    JobContext m_ctx;
};

StreamPass passOf(bool done, OldStep& step, bool afterHeading) {
    StreamPass pass;
    pass.outcome = done ? StreamPass::Outcome::Done
                        : (step.state().abortRequested ? StreamPass::Outcome::Aborted
                                                       : StreamPass::Outcome::Failed);
    pass.lines = step.lines(afterHeading);
    return pass;
}

}  // namespace

ScanResult RealJobSteps::scanStream(const std::string& mediaInfoPath, const std::string& m2ts,
                                    StopToken& stop) {
    NoProgress progress;
    OldStep step(stop, progress);
    step.state().mediaInfoPath = mediaInfoPath;
    ScanResult result;
    result.outcome = quorvel::scanStream(step.ctx(), m2ts, " heading", result.attributes);
    result.lines = step.lines();
    return result;
}

Adjustment RealJobSteps::UHD_Adjust_MPLS(const std::string& mpls, const ByteString& uhdExtension,
                                         AdjustMode mode) {
    return adjustPlaylist(mpls, uhdExtension, mode);
}

Adjustment RealJobSteps::UHD_Adjust_CLPI(const std::string& clpi, bool isHdr, AdjustMode mode) {
    return adjustClipInfo(clpi, isHdr, mode);
}

Adjustment RealJobSteps::UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject,
                                         AdjustMode mode) {
    return adjustIndexAndMovieObject(index, movieObject, mode);
}

StreamPass RealJobSteps::UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                                         StopToken& stop, ProgressSink& progress) {
    OldStep step(stop, progress);
    const bool done = quorvel::UHD_Adjust_M2TS(step.ctx(), m2ts, options);
    return passOf(done, step, true);
}

StreamPass RealJobSteps::surveyM2ts(const std::string& m2ts, StreamSurvey& survey,
                                    const M2tsScanOptions& options, StopToken& stop,
                                    ProgressSink& progress) {
    OldStep step(stop, progress);
    const bool done = quorvel::surveyM2ts(step.ctx(), m2ts, survey, options);
    return passOf(done, step, false);
}

ProgramMapCheck RealJobSteps::checkFirstProgramMap(const std::string& m2ts) {
    CrcTable table{};
    buildCrcTable(table);
    return quorvel::checkFirstProgramMap(m2ts, table);
}

}  // namespace quorvel
