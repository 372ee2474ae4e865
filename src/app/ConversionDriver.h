#pragma once

#include <memory>
#include <string>

#include "app/JobContext.h"
#include "app/BluRayLayout.h"
#include "app/JobSteps.h"
#include "app/SourceCheck.h"
#include "app/StatusLog.h"
#include "app/Title.h"
#include "app/WindowOperations.h"
#include "shared/SharedState.h"

namespace quorvel {

inline constexpr const char* kIdleCaption = "Convert It To UHD-BD";
inline constexpr const char* kAbortCaption = "Abort";
inline constexpr const char* kJobStartedLine = "========Job Started========";
inline constexpr const char* kJobEndedLine = "=========Job Ended=========";

// How the last job ended, for front ends that report it (the command line's exit status).
// Busy: another job or check was working on the disc, so this one changed nothing.
enum class JobOutcome { None, Succeeded, Aborted, Failed, Busy };

// The program's logic behind its window: start-up, the conversion job, the close check and the
// timer. It reaches the front end only through WindowOperations, so the Qt window and the
// command line drive the very same code.
class ConversionDriver {
  public:
    explicit ConversionDriver(WindowOperations& window, std::unique_ptr<JobSteps> steps = nullptr,
                              LocalClock clock = systemLocalTime);

    ConversionDriver(const ConversionDriver&) = delete;
    ConversionDriver& operator=(const ConversionDriver&) = delete;

    // Start-up: finds the analyser. Without an analyser it shows the
    // start-up message, asks the front end to end the program and returns false.
    bool Form_Load(const std::string& programFolder);

    // A press of the convert/abort button: starts a job, or requests the abort of the running one.
    void Command1_Click();
    // Looks at a disc folder (ending with a separator) the way a job would and tells what a job
    // would change, without writing anything or logging. While it runs, the button reads
    // "Abort" and a press stops it.
    SourceCheck checkSource(const std::string& source, bool withStreams);

    // A close request. Returns true when the window must stay open.
    bool Form_QueryUnload();
    // A tick of the 500 ms timer.
    void Timer1_Timer();

    // Whether the four kinds of Blu-ray files are present under `path` (ending with a separator).
    static bool srcVerified(const std::string& path);
    // A folder the user picked, turned into the source folder: a trailing separator is ensured,
    // and a picked BDMV or BDMV/STREAM folder becomes the folder that holds BDMV.
    static std::string sourceFromSelection(std::string picked);

    void Status(const std::string& stext) { m_log.Status(stext); }
    std::string TimeStamp() const { return m_log.TimeStamp(); }

    SharedState& state() { return m_state; }
    const SharedState& state() const { return m_state; }
    StatusLog& log() { return m_log; }
    JobContext& context() { return m_context; }
    // True from the start of a job until it has written its end line (or stopped).
    bool jobActive() const { return m_jobActive; }
    JobOutcome lastOutcome() const { return m_lastOutcome; }

  private:
    JobOutcome runJob(const std::string& source);
    JobOutcome scanTitle(Title& title);
    JobOutcome writeTitle(const BluRayLayout& layout, const Title& title);
    JobOutcome convertStreams(const Title& title);
    // Lets the window run, then tells whether the user asked the job to stop. Called only where
    // stopping leaves every file whole.
    bool abortAtSafePoint();
    JobOutcome failed(const std::string& outcomeLine);
    JobOutcome abortedBeforeWriting();
    void refreshBackup(const std::string& file, const std::string& backupFolder);
    void logWithTime(const std::string& text);

    WindowOperations& m_window;
    std::unique_ptr<JobSteps> m_steps;
    SharedState m_state;
    StatusLog m_log;
    JobContext m_context;
    bool m_jobActive = false;
    JobOutcome m_lastOutcome = JobOutcome::None;
};

}  // namespace quorvel
