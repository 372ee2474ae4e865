#pragma once

#include <functional>
#include <string>


namespace quorvel {

struct LocalTime {
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59
};

using LocalClock = std::function<LocalTime()>;

// The system's local time of day.
LocalTime systemLocalTime();

// The status log box of a front end: replace its whole text, place the caret, repaint at once.
class LogBox {
  public:
    virtual ~LogBox() = default;
    virtual void replaceLogText(const std::string& text) = 0;
    virtual void setLogCaret(long long position, long long selectionLength) = 0;
    virtual void repaintLog() = 0;
};

// "[hh:mm:ss]" for a time of day, 24-hour clock.
std::string timeStampOf(const LocalTime& time);

// The status log: appends lines to the log text and shows it in a front end's log box.
class StatusLog {
  public:
    // The log grows up to this many characters before it is cut back.
    static constexpr std::size_t kTrimAbove = 65000;
    // Characters of the newest text kept by a cut.
    static constexpr std::size_t kKeepAfterTrim = 32000;
    static constexpr const char* kTruncatedMarker = "[Earlier Status Text Truncated]";
    static constexpr const char* kContinuationMarker = "...";

    StatusLog(std::string& statusText, LogBox& box,
              LocalClock clock = systemLocalTime);

    // Appends `stext` as one line (CR LF ended) and shows the whole log, newest line in view.
    void Status(const std::string& stext);
    // "[hh:mm:ss]" for the current local time, 24-hour clock.
    std::string TimeStamp() const;

    // Number of characters (not bytes) of UTF-8 text.
    static std::size_t characterCount(const std::string& text);

  private:
    std::string& m_statusText;
    LogBox& m_box;
    LocalClock m_clock;
    // Characters of m_statusText as of its last append, so an append counts only its own text.
    // Recounted whenever the text's size is not the one counted (someone replaced it).
    std::size_t m_characters = 0;
    std::size_t m_countedBytes = 0;
};

}  // namespace quorvel
