#pragma once

#include <windows.h>

#include <climits>
#include <string>

// The program keeps its text in UTF-8; the system's wide calls take UTF-16. The conversion
// happens here, at the boundary, and nowhere else.
namespace quorvel::platform {

// `text` as UTF-16; empty when `text` is empty or not valid UTF-8 (a name converted with
// replacement characters could name another file).
inline std::wstring toWide(const std::string& text) {
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
inline std::string toUtf8(const std::wstring& text) {
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

}  // namespace quorvel::platform
