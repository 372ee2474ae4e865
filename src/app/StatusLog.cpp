#include "app/StatusLog.h"

#include <cstdio>

#include "platform/LocalTime.h"

namespace quorvel {

namespace {

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte offset at which the last `count` characters of `text` begin.
std::size_t offsetOfLastCharacters(const std::string& text, std::size_t count) {
    std::size_t offset = text.size();
    std::size_t seen = 0;
    while (offset > 0 && seen < count) {
        --offset;
        if (!isContinuationByte(text[offset])) ++seen;
    }
    return offset;
}

}  // namespace

LocalTime systemLocalTime() {
    const platform::TimeOfDay now = platform::localTimeOfDay();
    return LocalTime{now.hour, now.minute, now.second};
}

StatusLog::StatusLog(std::string& statusText, LogBox& box, LocalClock clock)
    : m_statusText(statusText), m_box(box), m_clock(std::move(clock)) {}

std::size_t StatusLog::characterCount(const std::string& text) {
    std::size_t count = 0;
    for (char c : text) {
        if (!isContinuationByte(c)) ++count;
    }
    return count;
}

void StatusLog::Status(const std::string& stext) {
    if (m_countedBytes != m_statusText.size()) m_characters = characterCount(m_statusText);
    m_statusText += stext;
    m_statusText += "\r\n";
    m_characters += characterCount(stext) + 2;

    if (m_characters > kTrimAbove) {
        std::string kept =
            m_statusText.substr(offsetOfLastCharacters(m_statusText, kKeepAfterTrim));
        m_statusText = std::string(kTruncatedMarker) + "\r\n" + kContinuationMarker + kept;
        m_characters = characterCount(m_statusText);
    }
    m_countedBytes = m_statusText.size();
    const std::size_t length = m_characters;

    m_box.replaceLogText(m_statusText);
    // Just before the final CR LF: the end of the newest line, which scrolls it into view.
    m_box.setLogCaret(static_cast<long long>(length) - 2, 0);
    m_box.repaintLog();
}

std::string StatusLog::TimeStamp() const {
    return timeStampOf(m_clock());
}

std::string timeStampOf(const LocalTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "[%02d:%02d:%02d]", t.hour % 100, t.minute % 100,
                  t.second % 100);
    return text;
}

}  // namespace quorvel
