#pragma once

#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>

#include "platform/win32/WideText.h"

// Text between the window's controls (UTF-16) and the program (UTF-8, '/' between names).
namespace quorvel::win32 {

// `text` as UTF-16. Bytes that are no UTF-8 (an analyser's line, say) show as U+FFFD rather than
// blanking the whole text.
inline std::wstring wideText(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int size = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
    return wide;
}

// UTF-16 from the controls back to the program's UTF-8: the platform's one conversion.
using platform::win32::toUtf8;

// A control's caption or text, as UTF-8.
inline std::string windowText(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return toUtf8(text);
}

// A path as the system's dialogs and Explorer give it ('\' between names) in the program's form.
inline std::string programPath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// A path of the program's in the form a Windows user reads and the shell parses.
inline std::wstring nativePath(const std::string& path) {
    std::wstring wide = wideText(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

// Index in UTF-16 units of the character at `characters` of `text`, where a character outside
// the basic plane takes two units; the end of the text when it is shorter.
inline std::size_t utf16Index(std::wstring_view text, long long characters) {
    std::size_t at = 0;
    for (long long seen = 0; seen < characters && at < text.size(); ++seen) {
        const bool pair = IS_HIGH_SURROGATE(text[at]) && at + 1 < text.size() &&
                          IS_LOW_SURROGATE(text[at + 1]);
        at += pair ? 2 : 1;
    }
    return at;
}

}  // namespace quorvel::win32
