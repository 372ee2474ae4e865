#pragma once

#include <windows.h>

#include <climits>
#include <string>
#include <string_view>

// The program keeps its text in UTF-8; the system's wide calls take UTF-16. The conversion
// happens here, at the boundary, and nowhere else.
namespace quorvel::platform::win32 {

// `text` as UTF-16; empty when `text` is empty or not valid UTF-8 (a name converted with
// replacement characters could name another file).
inline std::wstring toWide(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int size = static_cast<int>(text.size());
    const int needed =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(),
                              needed) != needed) {
        return {};
    }
    return wide;
}

// `text` as UTF-8; an unpaired surrogate (which the file system allows in a name) becomes U+FFFD.
inline std::string toUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int size = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), needed, nullptr,
                              nullptr) != needed) {
        return {};
    }
    return narrow;
}

// The system's words for the error `code` (from GetLastError), without the final full stop and
// line break, e.g. "The system cannot find the file specified".
inline std::string systemReason(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' ||
                             text.back() == L' ' || text.back() == L'.')) {
        text.pop_back();
    }
    if (text.empty()) return "system error " + std::to_string(code);
    return toUtf8(text);
}

}  // namespace quorvel::platform::win32
