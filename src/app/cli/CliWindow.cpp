#include "app/cli/CliWindow.h"

#include "app/ConversionDriver.h"
#include "platform/Interrupt.h"

namespace quorvel {

std::string appendedLogText(const std::string& previous, const std::string& current) {
    if (current.size() >= previous.size() && current.compare(0, previous.size(), previous) == 0) {
        return current.substr(previous.size());
    }
    // Cut back: the text is the marker line, "...", then the newest characters. They end with
    // the new line, preceded by as much of the previous text's end as fitted.
    const std::string marker =
        std::string(StatusLog::kTruncatedMarker) + "\r\n" + StatusLog::kContinuationMarker;
    if (current.compare(0, marker.size(), marker) != 0) return current;
    const std::string tail = current.substr(marker.size());
    for (std::size_t added = 1; added < tail.size(); ++added) {
        const std::size_t overlap = tail.size() - added;
        if (previous.size() >= overlap &&
            previous.compare(previous.size() - overlap, overlap, tail, 0, overlap) == 0) {
            return tail.substr(overlap);
        }
    }
    return tail;
}

CliWindow::CliWindow(std::FILE* out, std::FILE* err, bool progressOnTerminal)
    : m_out(out),
      m_err(err),
      m_progressOnTerminal(progressOnTerminal),
      m_caption(kIdleCaption),
      m_lastTick(std::chrono::steady_clock::now()) {}

void CliWindow::installSignalHandlers() {
    platform::installInterruptHandlers();
}

bool CliWindow::signalReceived() {
    return platform::interruptRequested();
}

void CliWindow::replaceLogText(const std::string& text) {
    printNewText(appendedLogText(m_shownLog, text));
    m_shownLog = text;
}

void CliWindow::printNewText(const std::string& added) {
    if (added.empty()) return;
    finishProgressLine();
    // The log keeps CR LF line ends; a terminal or a file wants LF alone.
    std::string printable;
    printable.reserve(added.size());
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (added[i] == '\r' && i + 1 < added.size() && added[i + 1] == '\n') continue;
        printable += added[i];
    }
    std::fwrite(printable.data(), 1, printable.size(), m_out);
}

void CliWindow::repaintLog() {
    std::fflush(m_out);
}

void CliWindow::finishProgressLine() {
    if (!m_progressShown) return;
    std::fputs("\n", m_err);
    std::fflush(m_err);
    m_progressShown = false;
}

void CliWindow::setPercentText(const std::string& text) {
    if (!m_progressOnTerminal) return;
    std::fprintf(m_err, "\rCurrent Progress: %8s", text.c_str());
    std::fflush(m_err);
    m_progressShown = true;
}

void CliWindow::setTickInterval(int milliseconds) {
    m_tickInterval = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 500);
}

void CliWindow::processPendingEvents() {
    if (m_core == nullptr) return;
    if (platform::interruptRequested() && !m_signalHandled && m_caption == kAbortCaption) {
        m_signalHandled = true;
        // The same path as a press of the button while it reads "Abort".
        m_core->Command1_Click();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastTick >= m_tickInterval) {
        m_lastTick = now;
        m_core->Timer1_Timer();
    }
}

bool CliWindow::stopRequested() {
    processPendingEvents();
    return m_core != nullptr && m_core->abortRequested();
}

bool CliWindow::progressDue() {
    return m_core != nullptr && m_core->takeTimerTick();
}

void CliWindow::showProgress(double, const std::string& caption) {
    setPercentText(caption);
}

MessageBoxResult CliWindow::showMessageBox(const std::string& text, const std::string& title,
                                           MessageBoxKind kind) {
    finishProgressLine();
    std::fprintf(m_err, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(m_err);
    // Nobody can answer a question here; the safe answer leaves things as they are.
    return kind == MessageBoxKind::Question ? MessageBoxResult::No : MessageBoxResult::Ok;
}

}  // namespace quorvel
